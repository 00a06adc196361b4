// Double-precision evaluation shared by the scalar and the AVX2 paths of the
// correctly rounded single-precision exp and tanh.
//
// Both functions reduce z = x (exp) or z = 2|x| (tanh) as
//   z = k·ln2/64 + r,  k = 64m + j,  |r| <= ln2/128 (1 + 2^-37),
// so that e^z = 2^m · 2^(j/64) · e^r, evaluate s = e^r − 1 with a Taylor
// polynomial (degree 5 for exp, 6 for tanh), and build the result in double
// precision:
//   exp:  y = 2^m · (T_j + T_j·s)                  T_j   = 2^(j/64)
//   tanh: E = ((2^m − 1) + P) + (2^m + P)·s        P     = 2^m·(2^(j/64) − 1)
//         y = E / (E + 2)                          (E = e^z − 1, no cancellation)
//
// Error bounds (u = 2^-53, every operation rounded to nearest on its own):
// - Reduction: k·hi is exact (hi has 32 bits, |k| < 2^14) and z − k·hi is
//   exact (both are multiples of 2^-38 and the difference is below 2^-6, or
//   k = 0 and r = z). Only r1 − k·lo rounds: |r − r*| <= u·|r| + 2^-78.
// - Polynomial, degree 6: the Taylor remainder is below
//   |r|^7/5040·e^|r| < 2^-57·|r|; with the rounding of the last addition and
//   the small Horner terms, s = (e^r − 1)(1 + θ), |θ| <= 1.1u. Degree 5: the
//   remainder is below |r|^6/720·e^|r| < 2^-54.6 < 0.35u, absolute.
// - exp: T_j is correctly rounded (relative error <= u) and scaled by 2^m
//   exactly (the argument is clamped to [−150, 100], so 2^m·T_j stays
//   normal); the sum T_j + T_j·s rounds once (u); s adds 0.35u from the
//   remainder and about 0.02u from its roundings and those of r.
//   Relative error <= 2.4u < 2^-51.7.
// - tanh: k = 0 gives E = s exactly, then two roundings: <= 3.1u. For k >= 1,
//   A = (2^m − 1) + P and B = 2^m + P carry <= 2u each, E >= 0.49·A and
//   |B·s| <= 1.006·E, so E carries <= 10.2u; then E + 2 and the quotient add
//   2u, the error of E being damped by 2/(E + 2) <= 1. Relative error <= 12.2u.
// The rounding test widens y by a factor 1 ± 2^-50 (exp, 8u) or 1 ± 2^-48
// (tanh, 32u), several times the bounds above; rounding to float is monotonic,
// so when both ends round to the same float, so does the exact value. The
// inputs where they differ are listed, with their correctly rounded results,
// in the exception tables; the exhaustive check finds every one of them.
//
// No fused multiply-add: the AVX2 path repeats these operations one for one,
// so both paths give the same double. (The AVX-512 forms evaluate differently
// and reach the same floats through their own bounds and rounding tests.)
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace tolvex::math::detail {

// An input whose fast evaluation cannot be rounded with certainty, and its
// correctly rounded result, both as bit patterns. Tables are sorted by input.
struct RoundingException {
    uint32_t in;
    uint32_t out;
};

extern const double kExp2Table[64];    // 2^(j/64), correctly rounded
extern const double kExp2m1Table[64];  // 2^(j/64) − 1, correctly rounded
std::span<const RoundingException> expExceptions();
// Keyed by |x|; the sign of x is applied to the result.
std::span<const RoundingException> tanhExceptions();

inline constexpr double kInvLn2N = 0x1.71547652b82fep+6;   // 64/ln2
inline constexpr double kLn2NHi = 0x1.62e42ff000000p-7;    // ln2/64, 32 bits
inline constexpr double kLn2NLo = -0x1.718432a1b0e26p-41;  // ln2/64 − hi
// Adding 1.5·2^52 rounds to an integer that lands in the low mantissa bits.
inline constexpr double kShifter = 0x1.8p52;
inline constexpr double kC2 = 1.0 / 2, kC3 = 1.0 / 6, kC4 = 1.0 / 24, kC5 = 1.0 / 120, kC6 = 1.0 / 720;

// exp underflows to +0 below −103.98 and overflows above 88.73; clamping keeps
// 2^m a normal double and changes no result.
inline constexpr float kExpMin = -150.0f, kExpMax = 100.0f;
// tanh rounds to 1 above 9.011; clamping keeps e^(2|x|) small.
inline constexpr double kTanhMax = 10.0;

inline constexpr double kExpWiden = 0x1p-50, kTanhWiden = 0x1p-48;

struct Reduced {
    double r;        // reduced argument
    uint64_t scale;  // m in the exponent field: m·2^52 (mod 2^64)
    uint32_t j;      // table index
};

inline Reduced reduce(double z) {
    double t = z * kInvLn2N + kShifter;
    double kd = t - kShifter;
    uint64_t tb = std::bit_cast<uint64_t>(t);
    // tb = bits(shifter) + 64m + j; bits(shifter) << 46 vanishes mod 2^64.
    Reduced out;
    out.scale = (tb & ~uint64_t{63}) << 46;
    out.j = static_cast<uint32_t>(tb & 63);
    double r1 = z - kd * kLn2NHi;
    out.r = r1 - kd * kLn2NLo;
    return out;
}

// e^r − 1 for |r| <= ln2/128: degree 5 for exp, where the error is taken
// relative to e^r ~ 1, degree 6 for tanh, where it is relative to e^r − 1.
inline double expm1Poly5(double r) {
    double q = kC4 + r * kC5;
    q = kC3 + r * q;
    q = kC2 + r * q;
    return r + (r * r) * q;
}

inline double expm1Poly6(double r) {
    double q = kC5 + r * kC6;
    q = kC4 + r * q;
    q = kC3 + r * q;
    q = kC2 + r * q;
    return r + (r * r) * q;
}

// 2^m·t by adding m to the exponent field: t is a normal double and so is
// the result for every m the clamped arguments produce.
inline double scaleExp2(double t, uint64_t scale) {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(t) + scale);
}

// e^x for a non-NaN x, before rounding to float.
inline double expApprox(float x) {
    x = x < kExpMin ? kExpMin : x;
    x = x > kExpMax ? kExpMax : x;
    Reduced red = reduce(x);
    double s = expm1Poly5(red.r);
    double t = scaleExp2(kExp2Table[red.j], red.scale);
    return t + t * s;
}

// tanh(a) for a non-NaN a with a clear sign bit, before rounding to float.
inline double tanhAbsApprox(float abs_x) {
    double a = abs_x;
    a = a > kTanhMax ? kTanhMax : a;
    Reduced red = reduce(a + a);
    double s = expm1Poly6(red.r);
    double pow2m = scaleExp2(1.0, red.scale);
    double p = pow2m * kExp2m1Table[red.j];  // 2^m·0 must stay 0: multiply
    double e = ((pow2m - 1.0) + p) + (pow2m + p) * s;
    return e / (e + 2.0);
}

// Rounds y to float when every value within the relative width `widen` of y
// rounds to the same float; returns false when the rounding is undecided.
inline bool roundChecked(double y, double widen, float& out) {
    float lo = static_cast<float>(y * (1.0 - widen));
    float hi = static_cast<float>(y * (1.0 + widen));
    out = lo;
    return lo == hi;
}

}  // namespace tolvex::math::detail
