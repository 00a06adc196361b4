// Whatever loads, in either format, is written in both formats, loaded again
// and written again: the same bytes, the same model, the same output bits.
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tolvex::fuzz::roundTripOne({data, size});
    return 0;
}
