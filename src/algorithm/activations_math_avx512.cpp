// AVX-512 forms of the activations built on exp and tanh: elu, sigmoid and
// tanh, sixteen values at a time through the sixteen-wide correctly rounded
// functions. Every float operation around them is the scalar kernel's, in the
// same order, so every path gives the same bits.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

#include "algorithm/avx512_begin.hpp"
#include "algorithm/lanes_avx512.hpp"

#include "algorithm/math_avx512.hpp"

namespace tolvex {

namespace {

// f over the n = out_buf.len input elements, into out_buf.
template <class F>
void mapVectors(const Layer& layer, Slice<const float> input, F f) {
    avx512::mapArray(input.ptr, layer.out_buf.ptr, layer.out_buf.len, f);
}

}  // namespace

void eluAvx512(const Layer& layer, Slice<const float> input) {
    const math::avx512::Pow2Table16 table;
    const __m512 alpha = _mm512_set1_ps(layer.cfg.elu.alpha), one = _mm512_set1_ps(1.0f);
    mapVectors(layer, input, [&](__m512 x) {
        const __m512 neg = _mm512_mul_ps(alpha, _mm512_sub_ps(math::avx512::exp16(x, table), one));
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, _mm512_setzero_ps(), _CMP_GT_OQ), neg, x);
    });
}

void sigmoidAvx512(const Layer& layer, Slice<const float> input) {
    const math::avx512::Pow2Table16 table;
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512i sign = _mm512_set1_epi32(INT32_MIN);
    mapVectors(layer, input, [&](__m512 x) {
        const __m512 neg_x = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(x), sign));
        return _mm512_div_ps(one, _mm512_add_ps(one, math::avx512::exp16(neg_x, table)));
    });
}

void tanhAvx512(const Layer& layer, Slice<const float> input) {
    const math::avx512::Pow2Table16 table;
    mapVectors(layer, input, [&](__m512 x) { return math::avx512::tanh16(x, table); });
}

}  // namespace tolvex

#include "algorithm/avx512_end.hpp"

#endif
