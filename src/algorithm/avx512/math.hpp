// Sixteen-wide AVX-512F forms of the correctly rounded exp and tanh, on two
// halves of eight doubles. Part of the AVX-512 unit (avx512.cpp): included
// inside namespace tolvex::avx512 and its target region. Both have
// evaluations of their own, shorter than the scalar path's, built on fused
// multiply-adds and a 16-entry table of powers of two held in two registers
// (see expHalf and tanhAbsHalf). Their error bounds are proven below and
// their rounding tests are widened to match; the rare lanes whose test fails,
// and NaN lanes, are finished by the scalar functions themselves, so every
// lane has the scalar bits. The exhaustive check (tools/check_math) confirms
// the float results equal the scalar path's on all 2^32 inputs.

// 2^(j/16) for j = 0..15 in two registers, picked by one two-source
// permutation, which reads only the low four bits of each index.
struct Pow2Table16 {
    __m512d lo, hi;  // j = 0..7 and 8..15
    Pow2Table16() {
        // Every fourth entry of the 64-entry table: 2^(4i/64) = 2^(i/16).
        const __m512i every4th = _mm512_setr_epi64(0, 4, 8, 12, 16, 20, 24, 28);
        lo = _mm512_i64gather_pd(every4th, math::detail::kExp2Table, 8);
        hi = _mm512_i64gather_pd(every4th, math::detail::kExp2Table + 32, 8);
    }
    // 2^m·2^(j/16) for k = 16m + j held as kd (a double) and, in the low
    // bits, t: scalef multiplies by 2^floor(k/16) = 2^m exactly.
    __m512d scaled(__m512d t, __m512d kd) const {
        const __m512d tj = _mm512_permutex2var_pd(lo, _mm512_castpd_si512(t), hi);
        return _mm512_scalef_pd(tj, _mm512_mul_pd(kd, _mm512_set1_pd(1.0 / 16)));
    }
};

// exp:
//   x clamped to [−150, 100],  x = k·ln2/16 + r,  k = 16m + j,  |r| <= ln2/32 (1 + 2^-40)
//   s = e^r − 1        degree-6 Taylor polynomial, Estrin's form
//   P = 2^m·2^(j/16),  y = P·s + P
// Error bound (u = 2^-53), relative to e^x: x − k·hi is exact (hi = ln2/16
// to 32 bits, |k| < 2^12), and only the step with lo rounds, below u·|r|.
// The Taylor remainder is below |r|^7/5040·e^|r| < 2^-50.9, the roundings
// of s about 0.03u, the table entry u (2^m scales it exactly: P stays a
// normal double), the last fused step u: below 2^-50.3 in all. The rounding
// test widens by 2^-47.
inline constexpr double kExpWidenAvx512 = 0x1p-47;

inline __m512d expHalf(__m256 clamped_x, const Pow2Table16& table) {
    using namespace math::detail;
    constexpr double kInvLn2_16 = kInvLn2N / 4, kHi16 = kLn2NHi * 4, kLo16 = kLn2NLo * 4;
    const __m512d x = _mm512_cvtps_pd(clamped_x);
    const __m512d shifter = _mm512_set1_pd(kShifter);
    const __m512d t = _mm512_fmadd_pd(x, _mm512_set1_pd(kInvLn2_16), shifter);
    const __m512d kd = _mm512_sub_pd(t, shifter);
    const __m512d r1 = _mm512_fnmadd_pd(kd, _mm512_set1_pd(kHi16), x);
    const __m512d r = _mm512_fnmadd_pd(kd, _mm512_set1_pd(kLo16), r1);

    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d p23 = _mm512_fmadd_pd(r, _mm512_set1_pd(kC3), _mm512_set1_pd(kC2));
    const __m512d p45 = _mm512_fmadd_pd(r, _mm512_set1_pd(kC5), _mm512_set1_pd(kC4));
    const __m512d q = _mm512_fmadd_pd(r2, _mm512_fmadd_pd(r2, _mm512_set1_pd(kC6), p45), p23);
    const __m512d s = _mm512_fmadd_pd(r2, q, r);

    const __m512d p = table.scaled(t, kd);
    return _mm512_fmadd_pd(p, s, p);
}

// tanh:
//   a = min(|x|, 10),  a = k·ln2/32 + h,  k = 16m + j,  |h| <= ln2/64 (1 + 2^-40)
//   s = e^(2h) − 1     degree-6 Taylor polynomial in h, Estrin's form
//   P = 2^m·2^(j/16)   Pow2Table16
//   E = P·s + (P − 1)  (= e^(2a) − 1; for k = 0, P = 1 and E = s exactly)
//   D = P·s + (P + 1)  (= e^(2a) + 1, formed beside E rather than from it)
//   y = E / D
// Error bound (u = 2^-53):
// - k = 0: h = a exactly, s carries the Taylor remainder, below 2^-45.5
//   relative, and about 1.1u of roundings; D = s + 2 and the quotient add 2u.
// - k >= 1: e^(2a) − 1 >= e^(2a)/46.7. Measured against e^(2a), the table
//   entry carries u, P − 1 at most u (it is exact while m = 0), s the
//   remainder 2^-50.9 and 0.03u of roundings, so E carries at most
//   46.7·(2.03u + 2^-50.9) < 2^-44.7 from these; the reduction error
//   |k|·2^-58 of h adds below 2^-48 (k <= 462, and e^(2a)/E <= 2 once k >= 16),
//   the last fused step u. D >= e^(2a) carries below 4u + 2^-50.9 in the same
//   way. With the quotient: below 2^-44.5.
// The rounding test therefore widens by 2^-42, wider than the scalar path's;
// 1550 of the 2^32 inputs are undecided and go to the scalar function.
inline constexpr double kTanhWidenAvx512 = 0x1p-42;

// abs_x = |x| clamped to [0, kTanhMax], non-NaN.
inline __m512d tanhAbsHalf(__m256 abs_x, const Pow2Table16& table) {
    using namespace math::detail;
    constexpr double kInvLn2_32 = kInvLn2N / 2;         // 32/ln2
    constexpr double kLn2_32 = 0x1.62e42fefa39efp-6;     // ln2/32, rounded
    static_assert(kLn2_32 == 2 * (kLn2NHi + kLn2NLo));
    // e^(2h) − 1 = Σ (2h)^n/n!: coefficients 2^n/n! for n = 2..6.
    constexpr double kD2 = 2.0, kD3 = 4.0 / 3, kD4 = 2.0 / 3, kD5 = 4.0 / 15, kD6 = 4.0 / 45;
    const __m512d a = _mm512_cvtps_pd(abs_x);
    const __m512d shifter = _mm512_set1_pd(kShifter);
    const __m512d t = _mm512_fmadd_pd(a, _mm512_set1_pd(kInvLn2_32), shifter);
    const __m512d kd = _mm512_sub_pd(t, shifter);
    const __m512d h = _mm512_fnmadd_pd(kd, _mm512_set1_pd(kLn2_32), a);

    const __m512d h2 = _mm512_mul_pd(h, h);
    const __m512d p23 = _mm512_fmadd_pd(h, _mm512_set1_pd(kD3), _mm512_set1_pd(kD2));
    const __m512d p45 = _mm512_fmadd_pd(h, _mm512_set1_pd(kD5), _mm512_set1_pd(kD4));
    const __m512d q = _mm512_fmadd_pd(h2, _mm512_fmadd_pd(h2, _mm512_set1_pd(kD6), p45), p23);
    const __m512d s = _mm512_fmadd_pd(h2, q, _mm512_add_pd(h, h));

    const __m512d p = table.scaled(t, kd);
    // D beside E: the division waits for one fused step, not two steps.
    const __m512d e = _mm512_fmadd_pd(p, s, _mm512_sub_pd(p, _mm512_set1_pd(1.0)));
    const __m512d d = _mm512_fmadd_pd(p, s, _mm512_add_pd(p, _mm512_set1_pd(1.0)));
    return _mm512_div_pd(e, d);
}

inline __m256 low8(__m512 v) { return _mm256_castpd_ps(_mm512_castpd512_pd256(_mm512_castps_pd(v))); }
inline __m256 high8(__m512 v) { return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)); }
inline __m512 join(__m256 lo, __m256 hi) {
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(lo)), _mm256_castps_pd(hi), 1));
}

// Rounds the two halves to sixteen floats with the rounding test of
// roundChecked; returns one bit per lane where it fails.
inline __m512 roundCheckedHalves(__m512d y_lo, __m512d y_hi, double widen, __mmask16& undecided) {
    const __m512d down = _mm512_set1_pd(1.0 - widen), up = _mm512_set1_pd(1.0 + widen);
    const __m512 lo = join(_mm512_cvtpd_ps(_mm512_mul_pd(y_lo, down)), _mm512_cvtpd_ps(_mm512_mul_pd(y_hi, down)));
    const __m512 hi = join(_mm512_cvtpd_ps(_mm512_mul_pd(y_lo, up)), _mm512_cvtpd_ps(_mm512_mul_pd(y_hi, up)));
    undecided = _mm512_cmp_ps_mask(lo, hi, _CMP_NEQ_UQ);
    return lo;
}

// Replaces the lanes named in `lanes` with the scalar function's result.
inline __m512 finishLanes(__m512 result, __m512 x, __mmask16 lanes, float (*f)(float)) {
    alignas(64) float in[16], out[16];
    _mm512_store_ps(in, x);
    _mm512_store_ps(out, result);
    for (int i = 0; i < 16; ++i)
        if (lanes & (1u << i)) out[i] = f(in[i]);
    return _mm512_load_ps(out);
}

// The lanes whose rounding test failed, and the NaN lanes, get the scalar
// function's result. Keeping NaNs out of the vector path keeps their fix-up
// off every other lane's path.
inline __m512 finishUndecided(__m512 out, __m512 x, __mmask16 undecided, float (*f)(float)) {
    undecided |= _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q);
    if (undecided != 0) [[unlikely]]
        out = finishLanes(out, x, undecided, f);
    return out;
}

inline __m512 exp16(__m512 x, const Pow2Table16& table) {
    // max/min return their second operand for a NaN lane: a harmless
    // in-range value (finishUndecided replaces it).
    __m512 c = _mm512_max_ps(x, _mm512_set1_ps(math::detail::kExpMin));
    c = _mm512_min_ps(c, _mm512_set1_ps(math::detail::kExpMax));
    __mmask16 undecided;
    __m512 out = roundCheckedHalves(expHalf(low8(c), table), expHalf(high8(c), table), kExpWidenAvx512, undecided);
    return finishUndecided(out, x, undecided, &math::exp);
}

inline __m512 tanh16(__m512 x, const Pow2Table16& table) {
    const __m512i sign = _mm512_and_si512(_mm512_castps_si512(x), _mm512_set1_epi32(INT32_MIN));
    // min returns its second operand for a NaN lane: a harmless in-range
    // value. tanh rounds to 1 above 9.011.
    const __m512 a = _mm512_min_ps(_mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(x), sign)),
                                   _mm512_set1_ps(static_cast<float>(math::detail::kTanhMax)));
    __mmask16 undecided;
    __m512 out = roundCheckedHalves(tanhAbsHalf(low8(a), table), tanhAbsHalf(high8(a), table), kTanhWidenAvx512,
                                    undecided);
    out = _mm512_castsi512_ps(_mm512_or_si512(_mm512_castps_si512(out), sign));
    return finishUndecided(out, x, undecided, &math::tanh);
}

struct Math {
    Pow2Table16 table;
    __m512 exp(__m512 x) const { return exp16(x, table); }
    __m512 tanh(__m512 x) const { return tanh16(x, table); }
};
