// Fully connected layer over the packed weights (PackedLinear), AVX-512F, no
// FMA. Register t[l] holds the lane-l accumulators of the group's 16 neurons,
// one neuron per register lane: row j = 16c + l of the block multiplies input
// x[j], broadcast, and adds into t[l], so lane l of every neuron sees its
// products chunk by chunk, from +0.0, as on the row-major matrix. The lane sum
// is then ((t[0] + t[1]) + ...) + t[15] for all 16 neurons at once, the bias
// row is added, and the tail rows follow in order.
//
// The instruction set is enabled for this file's own functions only, after
// the shared headers.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 reports the deliberately undefined source operand inside some
// AVX-512 intrinsics as (maybe) uninitialized (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tolvex {

namespace {

constexpr size_t kLanes = 16;

// The 16 outputs of the group whose block starts at blk.
[[gnu::always_inline]] inline __m512 group(const float* x, const float* blk, size_t L) {
    const size_t chunks = L / kLanes;
    __m512 t[kLanes];
    for (size_t l = 0; l < kLanes; ++l) t[l] = _mm512_setzero_ps();
    for (size_t c = 0; c < chunks; ++c) {
        const float* xc = x + kLanes * c;
        const float* wc = blk + kLanes * kLanes * c;
        for (size_t l = 0; l < kLanes; ++l)
            t[l] = _mm512_add_ps(t[l], _mm512_mul_ps(_mm512_set1_ps(xc[l]), _mm512_load_ps(wc + kLanes * l)));
    }
    __m512 s = t[0];
    for (size_t l = 1; l < kLanes; ++l) s = _mm512_add_ps(s, t[l]);
    __m512 v = _mm512_add_ps(_mm512_load_ps(blk + kLanes * L), s);
    for (size_t j = chunks * kLanes; j < L; ++j)
        v = _mm512_add_ps(v, _mm512_mul_ps(_mm512_set1_ps(x[j]), _mm512_load_ps(blk + kLanes * j)));
    return v;
}

}  // namespace

void runLinearPackedAvx512(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len, block = packedBlockFloats(L);
    const float* x = input.ptr;
    const float* blk = layer.packed.data.ptr;
    float* y = layer.out_buf.ptr;
    size_t n = 0;
    for (; n + kPackedGroup <= out; n += kPackedGroup, blk += block) _mm512_storeu_ps(y + n, group(x, blk, L));
    if (n < out)
        _mm512_mask_storeu_ps(y + n, static_cast<__mmask16>((1u << (out - n)) - 1u), group(x, blk, L));
}

}  // namespace tolvex

#pragma GCC diagnostic pop
#pragma GCC pop_options

#endif
