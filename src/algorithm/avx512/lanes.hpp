// AVX-512 lane helpers and the element-wise traits of generic/elementwise.hpp.
// Part of the AVX-512 unit (avx512.cpp): included inside namespace
// tolvex::avx512 and its target region. Only AVX-512F instructions are used,
// matching the CPU check of the table.

// Mask of the first r lanes, r in 0..16.
inline __mmask16 firstLanes(size_t r) { return static_cast<__mmask16>((1u << r) - 1u); }

struct Math;

struct Lanes {
    using V = __m512;
    using Math = avx512::Math;
    static constexpr size_t kWidth = 16;

    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    // Masked-off lanes are neither read nor written, nor faulted on.
    static V loadFirst(const float* p, size_t n) { return _mm512_maskz_loadu_ps(firstLanes(n), p); }
    static void storeFirst(float* p, size_t n, V v) { _mm512_mask_storeu_ps(p, firstLanes(n), v); }

    static V set1(float f) { return _mm512_set1_ps(f); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    static V negate(V a) {
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a), _mm512_set1_epi32(INT32_MIN)));
    }

    // vmaxps/vminps return their second operand unless the first compares
    // greater/less: the scalar `a > b ? a : b`, NaN and signed zeros included.
    static V sqrt(V a) { return _mm512_sqrt_ps(a); }
    // {p[0], p[stride], ..., p[15 * stride]}, and its inverse.
    static V gatherStrided(const float* p, size_t stride) {
        const __m512i index = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                                 _mm512_set1_epi32(static_cast<int>(stride)));
        return _mm512_i32gather_ps(index, p, 4);
    }
    static void scatterStrided(float* p, size_t stride, V v) {
        const __m512i index = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                                 _mm512_set1_epi32(static_cast<int>(stride)));
        _mm512_i32scatter_ps(p, index, v, 4);
    }

    static V greaterElse(V a, V b) { return _mm512_max_ps(a, b); }
    static V lessElse(V a, V b) { return _mm512_min_ps(a, b); }
    static V ifGreater(V a, V b, V t, V f) { return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, b, _CMP_GT_OQ), f, t); }
    static V ifGreaterEqual(V a, V b, V t, V f) {
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, b, _CMP_GE_OQ), f, t);
    }
    static V ifLess(V a, V b, V t, V f) { return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, b, _CMP_LT_OQ), f, t); }
    static bool anyNaN(V a) { return _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q) != 0; }
    static V ifNaN(V a, V t) { return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q), a, t); }
};
