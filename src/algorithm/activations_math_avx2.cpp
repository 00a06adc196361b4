// AVX2 forms of the activations built on exp and tanh: elu, sigmoid and tanh,
// eight values at a time through the eight-wide correctly rounded functions.
// Every float operation around them is the scalar kernel's, in the same
// order, so both paths give the same bits.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"
#include "algorithm/math_avx2.hpp"

namespace tolvex {

namespace {

// Applies f to the n = out_buf.len elements, 8 at a time; the last partial
// vector goes through a masked load and store, so nothing outside [0, n) is
// touched (the masked-off lanes compute on zeros).
template <class F>
void mapVectors(const Layer& layer, Slice<const float> input, F f) {
    alignas(32) static const int32_t kMask[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    const size_t n = layer.out_buf.len;
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, f(_mm256_loadu_ps(x + i)));
    if (i < n) {
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMask + 8 - (n - i)));
        _mm256_maskstore_ps(y + i, m, f(_mm256_maskload_ps(x + i, m)));
    }
}

}  // namespace

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
