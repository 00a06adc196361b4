// Eight-wide AVX2 forms of the correctly rounded exp and tanh. Part of the
// AVX2 unit (avx2.cpp): included inside namespace tolvex::avx2 and its target
// region. They repeat the double evaluation of math_core.hpp operation for
// operation on two halves of four doubles, so every lane has the bits of the
// scalar functions; the rare lanes whose rounding test fails are finished by
// the scalar functions themselves.

struct ReducedHalf {
    __m256d r;
    __m256i scale;
    __m256i j;
};

inline ReducedHalf reduceHalf(__m256d z) {
    using namespace math::detail;
    __m256d shifter = _mm256_set1_pd(kShifter);
    __m256d t = _mm256_add_pd(_mm256_mul_pd(z, _mm256_set1_pd(kInvLn2N)), shifter);
    __m256d kd = _mm256_sub_pd(t, shifter);
    __m256i tb = _mm256_castpd_si256(t);
    __m256i low = _mm256_set1_epi64x(63);
    ReducedHalf out;
    out.scale = _mm256_slli_epi64(_mm256_andnot_si256(low, tb), 46);
    out.j = _mm256_and_si256(tb, low);
    __m256d r1 = _mm256_sub_pd(z, _mm256_mul_pd(kd, _mm256_set1_pd(kLn2NHi)));
    out.r = _mm256_sub_pd(r1, _mm256_mul_pd(kd, _mm256_set1_pd(kLn2NLo)));
    return out;
}

inline __m256d expm1Poly5Half(__m256d r) {
    using namespace math::detail;
    __m256d q = _mm256_add_pd(_mm256_set1_pd(kC4), _mm256_mul_pd(r, _mm256_set1_pd(kC5)));
    q = _mm256_add_pd(_mm256_set1_pd(kC3), _mm256_mul_pd(r, q));
    q = _mm256_add_pd(_mm256_set1_pd(kC2), _mm256_mul_pd(r, q));
    return _mm256_add_pd(r, _mm256_mul_pd(_mm256_mul_pd(r, r), q));
}

inline __m256d expm1Poly6Half(__m256d r) {
    using namespace math::detail;
    __m256d q = _mm256_add_pd(_mm256_set1_pd(kC5), _mm256_mul_pd(r, _mm256_set1_pd(kC6)));
    q = _mm256_add_pd(_mm256_set1_pd(kC4), _mm256_mul_pd(r, q));
    q = _mm256_add_pd(_mm256_set1_pd(kC3), _mm256_mul_pd(r, q));
    q = _mm256_add_pd(_mm256_set1_pd(kC2), _mm256_mul_pd(r, q));
    return _mm256_add_pd(r, _mm256_mul_pd(_mm256_mul_pd(r, r), q));
}

// x already clamped to [kExpMin, kExpMax].
inline __m256d expHalf(__m128 x) {
    using namespace math::detail;
    ReducedHalf red = reduceHalf(_mm256_cvtps_pd(x));
    __m256d s = expm1Poly5Half(red.r);
    __m256d t = _mm256_i64gather_pd(kExp2Table, red.j, 8);
    t = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(t), red.scale));
    return _mm256_add_pd(t, _mm256_mul_pd(t, s));
}

inline __m256d tanhAbsHalf(__m128 abs_x) {
    using namespace math::detail;
    __m256d a = _mm256_cvtps_pd(abs_x);
    a = _mm256_min_pd(a, _mm256_set1_pd(kTanhMax));
    ReducedHalf red = reduceHalf(_mm256_add_pd(a, a));
    __m256d s = expm1Poly6Half(red.r);
    __m256d one = _mm256_set1_pd(1.0);
    __m256d pow2m = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(one), red.scale));
    __m256d p = _mm256_mul_pd(pow2m, _mm256_i64gather_pd(kExp2m1Table, red.j, 8));
    __m256d big_a = _mm256_add_pd(_mm256_sub_pd(pow2m, one), p);
    __m256d big_b = _mm256_add_pd(pow2m, p);
    __m256d e = _mm256_add_pd(big_a, _mm256_mul_pd(big_b, s));
    return _mm256_div_pd(e, _mm256_add_pd(e, _mm256_set1_pd(2.0)));
}

// Rounds the two halves to eight floats with the rounding test of
// roundChecked; `undecided` gets one bit per lane where it fails.
inline __m256 roundCheckedHalves(__m256d y_lo, __m256d y_hi, double widen, int& undecided) {
    __m256d down = _mm256_set1_pd(1.0 - widen), up = _mm256_set1_pd(1.0 + widen);
    __m256 lo = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_mul_pd(y_hi, down)),
                                _mm256_cvtpd_ps(_mm256_mul_pd(y_lo, down)));
    __m256 hi = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_mul_pd(y_hi, up)),
                                _mm256_cvtpd_ps(_mm256_mul_pd(y_lo, up)));
    undecided = _mm256_movemask_ps(_mm256_cmp_ps(lo, hi, _CMP_NEQ_UQ));
    return lo;
}

// Replaces the lanes named in `lanes` with the scalar function's result.
[[gnu::noinline]] inline __m256 finishLanes(__m256 result, __m256 x, int lanes, float (*f)(float)) {
    alignas(32) float in[8], out[8];
    _mm256_store_ps(in, x);
    _mm256_store_ps(out, result);
    for (int i = 0; i < 8; ++i)
        if (lanes & (1 << i)) out[i] = f(in[i]);
    return _mm256_load_ps(out);
}

// A NaN lane keeps its sign and payload and comes back quiet.
inline __m256 quietNaNs(__m256 out, __m256 x) {
    const __m256 quieted = _mm256_or_ps(x, _mm256_castsi256_ps(_mm256_set1_epi32(0x00400000)));
    return _mm256_blendv_ps(out, quieted, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
}

inline __m256 exp8(__m256 x) {
    // max/min return their second operand for a NaN lane: it becomes a
    // harmless in-range value and is replaced at the end.
    __m256 c = _mm256_max_ps(x, _mm256_set1_ps(math::detail::kExpMin));
    c = _mm256_min_ps(c, _mm256_set1_ps(math::detail::kExpMax));
    int undecided;
    __m256 out = roundCheckedHalves(expHalf(_mm256_castps256_ps128(c)),
                                    expHalf(_mm256_extractf128_ps(c, 1)), math::detail::kExpWiden, undecided);
    out = quietNaNs(out, x);
    if (undecided != 0) [[unlikely]]
        out = finishLanes(out, x, undecided, &math::exp);
    return out;
}

inline __m256 tanh8(__m256 x) {
    __m256 sign = _mm256_and_ps(x, _mm256_set1_ps(-0.0f));
    __m256 a = _mm256_xor_ps(x, sign);
    int undecided;
    __m256 out = roundCheckedHalves(tanhAbsHalf(_mm256_castps256_ps128(a)),
                                    tanhAbsHalf(_mm256_extractf128_ps(a, 1)), math::detail::kTanhWiden, undecided);
    out = _mm256_or_ps(out, sign);
    out = quietNaNs(out, x);
    if (undecided != 0) [[unlikely]]
        out = finishLanes(out, x, undecided, &math::tanh);
    return out;
}

struct Math {
    __m256 exp(__m256 x) const { return exp8(x); }
    __m256 tanh(__m256 x) const { return tanh8(x); }
};
