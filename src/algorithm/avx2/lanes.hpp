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

    static V greaterElse(V a, V b) { return _mm256_max_ps(a, b); }
    static V lessElse(V a, V b) { return _mm256_min_ps(a, b); }
    static V ifGreater(V a, V b, V t, V f) { return _mm256_blendv_ps(f, t, _mm256_cmp_ps(a, b, _CMP_GT_OQ)); }
    static V ifGreaterEqual(V a, V b, V t, V f) { return _mm256_blendv_ps(f, t, _mm256_cmp_ps(a, b, _CMP_GE_OQ)); }
    static V ifLess(V a, V b, V t, V f) { return _mm256_blendv_ps(f, t, _mm256_cmp_ps(a, b, _CMP_LT_OQ)); }
    static V ifNaN(V a, V t) { return _mm256_blendv_ps(a, t, _mm256_cmp_ps(a, a, _CMP_UNORD_Q)); }
};
