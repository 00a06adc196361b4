// AVX-512 forms of the activations built on exp and tanh: elu, sigmoid and
// tanh, sixteen values at a time through the sixteen-wide correctly rounded
// functions. Every float operation around them is the scalar kernel's, in the
// same order, so every path gives the same bits.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 reports the deliberately undefined source operand inside some
// AVX-512 intrinsics as (maybe) uninitialized (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "algorithm/math_avx512.hpp"

namespace tolvex {

namespace {

// Applies f to the n = out_buf.len elements, 16 at a time; the last partial
// vector goes through a masked load and store (the masked-off lanes compute
// on zeros), so nothing outside [0, n) is touched.
template <class F>
void mapVectors(const Layer& layer, Slice<const float> input, F f) {
    const size_t n = layer.out_buf.len;
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, f(_mm512_loadu_ps(x + i)));
    if (i < n) {
        const __mmask16 m = static_cast<__mmask16>((1u << (n - i)) - 1u);
        _mm512_mask_storeu_ps(y + i, m, f(_mm512_maskz_loadu_ps(m, x + i)));
    }
}

}  // namespace

void eluAvx512(const Layer& layer, Slice<const float> input) {
    const math::avx512::Table64 exp2(math::detail::kExp2Table);
    const __m512 alpha = _mm512_set1_ps(layer.cfg.elu.alpha), one = _mm512_set1_ps(1.0f);
    mapVectors(layer, input, [&](__m512 x) {
        const __m512 neg = _mm512_mul_ps(alpha, _mm512_sub_ps(math::avx512::exp16(x, exp2), one));
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, _mm512_setzero_ps(), _CMP_GT_OQ), neg, x);
    });
}

void sigmoidAvx512(const Layer& layer, Slice<const float> input) {
    const math::avx512::Table64 exp2(math::detail::kExp2Table);
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512i sign = _mm512_set1_epi32(INT32_MIN);
    mapVectors(layer, input, [&](__m512 x) {
        const __m512 neg_x = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(x), sign));
        return _mm512_div_ps(one, _mm512_add_ps(one, math::avx512::exp16(neg_x, exp2)));
    });
}

void tanhAvx512(const Layer& layer, Slice<const float> input) {
    const math::avx512::TanhTable table;
    mapVectors(layer, input, [&](__m512 x) { return math::avx512::tanh16(x, table); });
}

}  // namespace tolvex

#pragma GCC diagnostic pop
#pragma GCC pop_options

#endif
