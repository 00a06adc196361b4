// AVX2 forms of the activations built on exp and tanh: elu, sigmoid and tanh,
// eight values at a time through the eight-wide correctly rounded functions.
// Every float operation around them is the scalar kernel's, in the same
// order, so both paths give the same bits.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"
#include "algorithm/lanes_avx2.hpp"
#include "algorithm/math_avx2.hpp"

namespace tolvex {

using avx2::mapVectors;

void eluAvx2(const Layer& layer, Slice<const float> input) {
    const __m256 alpha = _mm256_set1_ps(layer.cfg.elu.alpha), one = _mm256_set1_ps(1.0f);
    const __m256 zero = _mm256_setzero_ps();
    mapVectors(layer, input, [=](__m256 x) {
        const __m256 neg = _mm256_mul_ps(alpha, _mm256_sub_ps(math::avx2::exp8(x), one));
        return _mm256_blendv_ps(neg, x, _mm256_cmp_ps(x, zero, _CMP_GT_OQ));
    });
}

void sigmoidAvx2(const Layer& layer, Slice<const float> input) {
    const __m256 one = _mm256_set1_ps(1.0f), sign = _mm256_set1_ps(-0.0f);
    mapVectors(layer, input, [=](__m256 x) {
        const __m256 e = math::avx2::exp8(_mm256_xor_ps(x, sign));
        return _mm256_div_ps(one, _mm256_add_ps(one, e));
    });
}

void tanhAvx2(const Layer& layer, Slice<const float> input) {
    mapVectors(layer, input, [](__m256 x) { return math::avx2::tanh8(x); });
}

}  // namespace tolvex

#endif
