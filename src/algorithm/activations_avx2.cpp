// AVX2 forms of the compare-and-select activations. Each vector operation is
// chosen to give, lane by lane, exactly the scalar form's result, NaN and
// signed zeros included: maxps/minps return their second operand unless the
// first compares greater/less, which is the scalar `a > b ? a : b`.
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

using avx2::mapVectors;

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
