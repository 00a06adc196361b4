// Arbitrary bytes through the json loader: no crash, no undefined behaviour, no
// leak, whatever the bytes say.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tolvex::fuzz::loadOne(tolvex::testing::Format::json, {data, size});
    return 0;
}
