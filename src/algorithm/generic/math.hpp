// The correctly rounded exp and tanh on vectors, written once for the
// implementations that evaluate them as the scalar path does: the double
// evaluation of math_core.hpp, operation for operation and without fused
// multiply-adds, on two halves of double lanes. Every decided lane thus has
// the scalar bits; the rare lanes whose rounding test fails, and nothing else,
// are finished by the scalar functions. An implementation includes this file
// inside its own namespace (and its instruction-set region), after its
// `MathLanes` traits:
//
//   F, D, U                 float vector of kWidth lanes; double and uint64
//                           vectors of kWidth / 2 lanes (one half)
//   lowHalf(F), highHalf(F) the halves, widened exactly to double
//   narrow(D lo, D hi)      both halves rounded to float (to nearest)
//   setD, addD, subD, mulD, divD, minD (a < b ? a : b)
//   setU, bitsOf(D), fromBits(U), andU, addU, shiftLeft46(U)
//   gather(table, U j)      table[j] lane by lane (j < 64)
//   clampFloat(F x, lo, hi) x below lo gives lo, above hi gives hi, NaN
//                           anything finite (those lanes are replaced)
//   absAndSign(F, F& sign)  |x|, and x's sign bit alone
//   orSign(F, F sign)
//   differ(F a, F b)        a bit per lane where a and b differ or are NaN
//   quietNaNs(F out, F x)   out with every NaN lane of x, quieted, in place
//   store(float*, F), load(const float*)

// Evaluation of one half (see math_core.hpp for the bounds).
struct ReducedHalf {
    MathLanes::D r;
    MathLanes::U scale;
    MathLanes::U j;
};

[[gnu::always_inline]] inline ReducedHalf reduceHalf(MathLanes::D z) {
    using M = MathLanes;
    using namespace math::detail;
    const M::D shifter = M::setD(kShifter);
    const M::D t = M::addD(M::mulD(z, M::setD(kInvLn2N)), shifter);
    const M::D kd = M::subD(t, shifter);
    const M::U tb = M::bitsOf(t);
    ReducedHalf out;
    out.scale = M::shiftLeft46(M::andU(tb, M::setU(~uint64_t{63})));
    out.j = M::andU(tb, M::setU(63));
    const M::D r1 = M::subD(z, M::mulD(kd, M::setD(kLn2NHi)));
    out.r = M::subD(r1, M::mulD(kd, M::setD(kLn2NLo)));
    return out;
}

[[gnu::always_inline]] inline MathLanes::D expm1Poly5Half(MathLanes::D r) {
    using M = MathLanes;
    using namespace math::detail;
    M::D q = M::addD(M::setD(kC4), M::mulD(r, M::setD(kC5)));
    q = M::addD(M::setD(kC3), M::mulD(r, q));
    q = M::addD(M::setD(kC2), M::mulD(r, q));
    return M::addD(r, M::mulD(M::mulD(r, r), q));
}

[[gnu::always_inline]] inline MathLanes::D expm1Poly6Half(MathLanes::D r) {
    using M = MathLanes;
    using namespace math::detail;
    M::D q = M::addD(M::setD(kC5), M::mulD(r, M::setD(kC6)));
    q = M::addD(M::setD(kC4), M::mulD(r, q));
    q = M::addD(M::setD(kC3), M::mulD(r, q));
    q = M::addD(M::setD(kC2), M::mulD(r, q));
    return M::addD(r, M::mulD(M::mulD(r, r), q));
}

// e^x for x already clamped to [kExpMin, kExpMax].
[[gnu::always_inline]] inline MathLanes::D expHalf(MathLanes::D x) {
    using M = MathLanes;
    const ReducedHalf red = reduceHalf(x);
    const M::D s = expm1Poly5Half(red.r);
    const M::D t = M::fromBits(M::addU(M::bitsOf(M::gather(math::detail::kExp2Table, red.j)), red.scale));
    return M::addD(t, M::mulD(t, s));
}

// tanh(a) for a = |x|, not NaN.
[[gnu::always_inline]] inline MathLanes::D tanhAbsHalf(MathLanes::D a) {
    using M = MathLanes;
    a = M::minD(a, M::setD(math::detail::kTanhMax));
    const ReducedHalf red = reduceHalf(M::addD(a, a));
    const M::D s = expm1Poly6Half(red.r);
    const M::D one = M::setD(1.0);
    const M::D pow2m = M::fromBits(M::addU(M::bitsOf(one), red.scale));
    const M::D p = M::mulD(pow2m, M::gather(math::detail::kExp2m1Table, red.j));
    const M::D big_a = M::addD(M::subD(pow2m, one), p);
    const M::D big_b = M::addD(pow2m, p);
    const M::D e = M::addD(big_a, M::mulD(big_b, s));
    return M::divD(e, M::addD(e, M::setD(2.0)));
}

// Rounds both halves to float with the rounding test of roundChecked;
// `undecided` gets a bit per lane where it fails.
[[gnu::always_inline]] inline MathLanes::F roundCheckedHalves(MathLanes::D lo, MathLanes::D hi, double widen,
                                                             unsigned& undecided) {
    using M = MathLanes;
    const M::D down = M::setD(1.0 - widen), up = M::setD(1.0 + widen);
    const M::F low = M::narrow(M::mulD(lo, down), M::mulD(hi, down));
    const M::F high = M::narrow(M::mulD(lo, up), M::mulD(hi, up));
    undecided = M::differ(low, high);
    return low;
}

// Replaces the lanes named in `lanes` with the scalar function's result.
[[gnu::noinline]] inline MathLanes::F finishLanes(MathLanes::F result, MathLanes::F x, unsigned lanes,
                                                  float (*f)(float)) {
    float in[MathLanes::kWidth], out[MathLanes::kWidth];
    MathLanes::store(in, x);
    MathLanes::store(out, result);
    for (size_t i = 0; i < MathLanes::kWidth; ++i)
        if (lanes & (1u << i)) out[i] = f(in[i]);
    return MathLanes::load(out);
}

[[gnu::always_inline]] inline MathLanes::F expVector(MathLanes::F x) {
    using M = MathLanes;
    using namespace math::detail;
    const M::F c = M::clampFloat(x, kExpMin, kExpMax);
    unsigned undecided;
    M::F out = roundCheckedHalves(expHalf(M::lowHalf(c)), expHalf(M::highHalf(c)), kExpWiden, undecided);
    out = M::quietNaNs(out, x);
    if (undecided != 0) [[unlikely]]
        out = finishLanes(out, x, undecided, &math::exp);
    return out;
}

[[gnu::always_inline]] inline MathLanes::F tanhVector(MathLanes::F x) {
    using M = MathLanes;
    M::F sign;
    const M::F a = M::absAndSign(x, sign);
    unsigned undecided;
    M::F out = roundCheckedHalves(tanhAbsHalf(M::lowHalf(a)), tanhAbsHalf(M::highHalf(a)),
                                  math::detail::kTanhWiden, undecided);
    out = M::quietNaNs(M::orSign(out, sign), x);
    if (undecided != 0) [[unlikely]]
        out = finishLanes(out, x, undecided, &math::tanh);
    return out;
}

// The Math of generic/elementwise.hpp.
struct Math {
    MathLanes::F exp(MathLanes::F x) const { return expVector(x); }
    MathLanes::F tanh(MathLanes::F x) const { return tanhVector(x); }
};
