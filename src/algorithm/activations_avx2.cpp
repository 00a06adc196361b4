// AVX2 forms of the compare-and-select activations. Each vector operation is
// chosen to give, lane by lane, exactly the scalar form's result, NaN and
// signed zeros included: maxps/minps return their second operand unless the
// first compares greater/less, which is the scalar `a > b ? a : b`.
//
// Only raw pointers and intrinsics are used here: an inline function from a
// shared header, emitted from this file, would carry AVX2 code into callers
// that run before the CPU check.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"

namespace tolvex {

namespace {

// Mask of the first r lanes, r in 0..8.
__m256i firstLanes(size_t r) {
    alignas(32) static const int32_t kMask[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMask + 8 - r));
}

// Applies f to n elements, 8 at a time, the last partial vector through a
// masked load and store so no element outside [0, n) is touched.
template <class F>
void mapVectors(const Layer& layer, Slice<const float> input, F f) {
    const size_t n = layer.out_buf.len;
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, f(_mm256_loadu_ps(x + i)));
    if (i < n) {
        const __m256i m = firstLanes(n - i);
        _mm256_maskstore_ps(y + i, m, f(_mm256_maskload_ps(x + i, m)));
    }
}

}  // namespace

void reluAvx2(const Layer& layer, Slice<const float> input) {
    const __m256 zero = _mm256_setzero_ps();
    // max(x, 0) = x > 0 ? x : +0.0, so NaN and -0.0 give +0.0.
    mapVectors(layer, input, [zero](__m256 x) { return _mm256_max_ps(x, zero); });
}

void relu6Avx2(const Layer& layer, Slice<const float> input) {
    const __m256 zero = _mm256_setzero_ps(), six = _mm256_set1_ps(6.0f);
    // t = 6 < x ? 6 : x, then t > 0 ? t : +0.0; t > 0 exactly when x > 0.
    mapVectors(layer, input, [zero, six](__m256 x) { return _mm256_max_ps(_mm256_min_ps(six, x), zero); });
}

void leakyReluAvx2(const Layer& layer, Slice<const float> input) {
    const __m256 zero = _mm256_setzero_ps(), slope = _mm256_set1_ps(layer.cfg.leaky_relu.negative_slope);
    mapVectors(layer, input, [zero, slope](__m256 x) {
        const __m256 keep = _mm256_cmp_ps(x, zero, _CMP_GE_OQ);
        return _mm256_blendv_ps(_mm256_mul_ps(x, slope), x, keep);
    });
}

void clipAvx2(const Layer& layer, Slice<const float> input) {
    const __m256 lo = _mm256_set1_ps(layer.cfg.clip.min), hi = _mm256_set1_ps(layer.cfg.clip.max);
    mapVectors(layer, input, [lo, hi](__m256 x) {
        const __m256 upper = _mm256_min_ps(hi, x);  // x > hi ? hi : x
        return _mm256_blendv_ps(upper, lo, _mm256_cmp_ps(x, lo, _CMP_LT_OQ));
    });
}

}  // namespace tolvex

#endif
