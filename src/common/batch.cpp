// Many samples in one call. For now each sample takes the single pass, and
// its output is copied into the caller's row; the bits are those of the
// single pass by construction. The function's contract (model.hpp) is what
// a multi-sample kernel behind it keeps.
#include <cstdint>
#include <cstring>

#include "common/model.hpp"

namespace tolvex {

void forwardBatch(const Model& model, Slice<const float> input, size_t count, Slice<float> output) {
    if (model.layers.empty() || count == 0) return;
    const size_t in_len = model.input_size;
    if (input.len != count * in_len) {
        fillCanonicalNaN(output);
        return;
    }
    const Slice<float> result = getOutputBuffer(model);
    const size_t out_len = result.len;
    // An output array that starts inside the input array, above its start
    // (or at it, with longer rows), is filled from the last row down: a row
    // then lands only on input rows already run. Otherwise, the same array
    // in place included, from the first row up.
    const auto in0 = reinterpret_cast<uintptr_t>(input.ptr), out0 = reinterpret_cast<uintptr_t>(output.ptr);
    const bool inside = out0 >= in0 && out0 < in0 + input.len * sizeof(float);
    const bool backwards = inside && (out0 != in0 || out_len > in_len);
    for (size_t k = 0; k < count; ++k) {
        const size_t s = backwards ? count - 1 - k : k;
        forwardPass(model, {input.ptr + s * in_len, in_len});
        // The caller's row may be the model's own output buffer.
        if (out_len != 0) std::memmove(output.ptr + s * out_len, result.ptr, out_len * sizeof(float));
    }
}

}  // namespace tolvex
