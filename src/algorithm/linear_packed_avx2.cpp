// Fully connected layer over the packed weights (PackedLinear), AVX2, no FMA.
// A group's 16 neurons are two ymm halves. Lane l's accumulators of all 16
// neurons are the two halves of block row j = 16c + l times the broadcast
// input x[j], added chunk by chunk from +0.0, as on the row-major matrix.
// Sixteen lanes of two halves do not fit the 16 ymm registers next to the
// temporaries, so the lanes are taken four at a time: each pass reads rows
// 4p..4p+3 of every chunk (whole cache lines, each read once) and then
// continues the in-order lane sum ((a[0] + a[1]) + ...) + a[15] of all 16
// neurons. The bias row is added, and the tail rows follow in order.
//
// Only raw pointers, intrinsics and the AVX2-only lanes_avx2.hpp are used
// here: an inline function from a header shared with the other files,
// emitted from this file, would carry AVX2 code into callers that run before
// the CPU check.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"
#include "algorithm/lanes_avx2.hpp"

namespace tolvex {

namespace {

using avx2::firstLanes;

constexpr size_t kLanes = 16;
constexpr size_t kLanesPerPass = 4;

// The outputs of the group whose block starts at blk: neurons 0..7 in lo,
// 8..15 in hi. Without kHigh only the low half is computed (a last group of
// at most 8 neurons).
template <bool kHigh>
[[gnu::always_inline]] inline void group(const float* x, const float* blk, size_t L, __m256& lo, __m256& hi) {
    const size_t chunks = L / kLanes;
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
#pragma GCC unroll 4
    for (size_t p = 0; p < kLanes / kLanesPerPass; ++p) {
        __m256 a0[kLanesPerPass], a1[kLanesPerPass];
        for (size_t q = 0; q < kLanesPerPass; ++q) a0[q] = a1[q] = _mm256_setzero_ps();
        for (size_t c = 0; c < chunks; ++c) {
            const float* xr = x + kLanes * c + kLanesPerPass * p;
            const float* wr = blk + kLanes * (kLanes * c + kLanesPerPass * p);
            for (size_t q = 0; q < kLanesPerPass; ++q) {
                const __m256 xb = _mm256_set1_ps(xr[q]);
                a0[q] = _mm256_add_ps(a0[q], _mm256_mul_ps(xb, _mm256_load_ps(wr + kLanes * q)));
                if (kHigh) a1[q] = _mm256_add_ps(a1[q], _mm256_mul_ps(xb, _mm256_load_ps(wr + kLanes * q + 8)));
            }
        }
        for (size_t q = 0; q < kLanesPerPass; ++q) {
            // The sum starts with lane 0 itself: (a[0] + a[1]), not 0 + a[0].
            const bool first = p == 0 && q == 0;
            s0 = first ? a0[q] : _mm256_add_ps(s0, a0[q]);
            if (kHigh) s1 = first ? a1[q] : _mm256_add_ps(s1, a1[q]);
        }
    }
    const float* bias = blk + kLanes * L;
    lo = _mm256_add_ps(_mm256_load_ps(bias), s0);
    if (kHigh) hi = _mm256_add_ps(_mm256_load_ps(bias + 8), s1);
    for (size_t j = chunks * kLanes; j < L; ++j) {
        const __m256 xb = _mm256_set1_ps(x[j]);
        lo = _mm256_add_ps(lo, _mm256_mul_ps(xb, _mm256_load_ps(blk + kLanes * j)));
        if (kHigh) hi = _mm256_add_ps(hi, _mm256_mul_ps(xb, _mm256_load_ps(blk + kLanes * j + 8)));
    }
}

}  // namespace

void runLinearPackedAvx2(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len, block = packedBlockFloats(L);
    const float* x = input.ptr;
    const float* blk = layer.packed.data.ptr;
    float* y = layer.out_buf.ptr;
    __m256 lo, hi = _mm256_setzero_ps();
    size_t n = 0;
    for (; n + kPackedGroup <= out; n += kPackedGroup, blk += block) {
        group<true>(x, blk, L, lo, hi);
        _mm256_storeu_ps(y + n, lo);
        _mm256_storeu_ps(y + n + 8, hi);
    }
    const size_t rest = out - n;
    if (rest == 0) return;
    if (rest <= 8) {
        group<false>(x, blk, L, lo, hi);
        _mm256_maskstore_ps(y + n, firstLanes(rest), lo);
    } else {
        group<true>(x, blk, L, lo, hi);
        _mm256_storeu_ps(y + n, lo);
        _mm256_maskstore_ps(y + n + 8, firstLanes(rest - 8), hi);
    }
}

}  // namespace tolvex

#endif
