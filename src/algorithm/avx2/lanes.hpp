// AVX2 lane helpers and the element-wise traits of generic/elementwise.hpp.
// Part of the AVX2 unit (avx2.cpp): included inside namespace tolvex::avx2 and
// its target region.
//
// maxps/minps return their second operand unless the first compares
// greater/less, which is the scalar `a > b ? a : b` (NaN and signed zeros
// included), so they serve greaterElse and lessElse as they are.

// Mask of the first r lanes, r in 0..8.
inline __m256i firstLanes(size_t r) {
    alignas(32) static const int32_t kMask[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMask + 8 - r));
}

struct Math;

struct Lanes {
    using V = __m256;
    using Math = avx2::Math;
    static constexpr size_t kWidth = 8;

    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    // Masked-off lanes are neither read nor written, nor faulted on.
    static V loadFirst(const float* p, size_t n) { return _mm256_maskload_ps(p, firstLanes(n)); }
    static void storeFirst(float* p, size_t n, V v) { _mm256_maskstore_ps(p, firstLanes(n), v); }

    static V set1(float f) { return _mm256_set1_ps(f); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V negate(V a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }

    static V sqrt(V a) { return _mm256_sqrt_ps(a); }
    // {p[0], p[stride], ..., p[7 * stride]}, and its inverse.
    static V gatherStrided(const float* p, size_t stride) {
        const __m256i index = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                 _mm256_set1_epi32(static_cast<int>(stride)));
        return _mm256_i32gather_ps(p, index, 4);
    }
    static void scatterStrided(float* p, size_t stride, V v) {
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, v);
        for (size_t i = 0; i < 8; ++i) p[i * stride] = lanes[i];
    }

    static V greaterElse(V a, V b) { return _mm256_max_ps(a, b); }
    static V lessElse(V a, V b) { return _mm256_min_ps(a, b); }
    static V ifGreater(V a, V b, V t, V f) { return _mm256_blendv_ps(f, t, _mm256_cmp_ps(a, b, _CMP_GT_OQ)); }
    static V ifGreaterEqual(V a, V b, V t, V f) { return _mm256_blendv_ps(f, t, _mm256_cmp_ps(a, b, _CMP_GE_OQ)); }
    static V ifLess(V a, V b, V t, V f) { return _mm256_blendv_ps(f, t, _mm256_cmp_ps(a, b, _CMP_LT_OQ)); }
    static bool anyNaN(V a) { return _mm256_movemask_ps(_mm256_cmp_ps(a, a, _CMP_UNORD_Q)) != 0; }
    static V ifNaN(V a, V t) { return _mm256_blendv_ps(a, t, _mm256_cmp_ps(a, a, _CMP_UNORD_Q)); }
};

// The double halves of generic/math.hpp: four doubles each.
struct MathLanes {
    using F = __m256;
    using D = __m256d;
    using U = __m256i;
    static constexpr size_t kWidth = 8;

    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static D lowHalf(F f) { return _mm256_cvtps_pd(_mm256_castps256_ps128(f)); }
    static D highHalf(F f) { return _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1)); }
    static F narrow(D lo, D hi) { return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)); }

    static D setD(double d) { return _mm256_set1_pd(d); }
    static D addD(D a, D b) { return _mm256_add_pd(a, b); }
    static D subD(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mulD(D a, D b) { return _mm256_mul_pd(a, b); }
    static D divD(D a, D b) { return _mm256_div_pd(a, b); }
    // vminpd returns its second operand unless the first is less.
    static D minD(D a, D b) { return _mm256_min_pd(a, b); }
    static U setU(uint64_t u) { return _mm256_set1_epi64x(static_cast<long long>(u)); }
    static U bitsOf(D d) { return _mm256_castpd_si256(d); }
    static D fromBits(U u) { return _mm256_castsi256_pd(u); }
    static U andU(U a, U b) { return _mm256_and_si256(a, b); }
    static U addU(U a, U b) { return _mm256_add_epi64(a, b); }
    static U shiftLeft46(U a) { return _mm256_slli_epi64(a, 46); }
    static D gather(const double* table, U j) { return _mm256_i64gather_pd(table, j, 8); }

    // vmaxps/vminps return their second operand for a NaN lane.
    static F clampFloat(F x, float lo, float hi) {
        return _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(lo)), _mm256_set1_ps(hi));
    }
    static F absAndSign(F x, F& sign) {
        sign = _mm256_and_ps(x, _mm256_set1_ps(-0.0f));
        return _mm256_xor_ps(x, sign);
    }
    static F orSign(F x, F sign) { return _mm256_or_ps(x, sign); }
    static unsigned differ(F a, F b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_NEQ_UQ)));
    }
    static F quietNaNs(F out, F x) {
        const F quieted = _mm256_or_ps(x, _mm256_castsi256_ps(_mm256_set1_epi32(0x00400000)));
        return _mm256_blendv_ps(out, quieted, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
    }
};
