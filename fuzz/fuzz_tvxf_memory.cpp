// Arbitrary bytes through tolvex_load_tvxf_memory: no crash, no undefined
// behaviour, no leak, and the result of the streaming tvxf loader.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tolvex::fuzz::loadMemoryOne(tolvex::testing::Format::tvxf, {data, size});
    return 0;
}
