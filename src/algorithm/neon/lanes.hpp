// NEON lane helpers and the traits of generic/elementwise.hpp and
// generic/math.hpp. Part of the NEON unit (neon.cpp): included inside
// namespace tolvex::neon.
//
// FMAX/FMIN differ from the scalar `a > b ? a : b` (they return a NaN operand
// and order -0 below +0), so every selection is a comparison and a bitwise
// select; the comparisons are the ordered ones, false for NaN.

inline float32x4_t bitsToFloat(uint32x4_t u) { return vreinterpretq_f32_u32(u); }
inline uint32x4_t floatToBits(float32x4_t f) { return vreinterpretq_u32_f32(f); }

struct Math;

struct Lanes {
    using V = float32x4_t;
    using Math = neon::Math;
    static constexpr size_t kWidth = 4;

    static V load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, V v) { vst1q_f32(p, v); }
    static V loadFirst(const float* p, size_t n) {
        float buf[4] = {};
        std::memcpy(buf, p, n * sizeof(float));
        return vld1q_f32(buf);
    }
    static void storeFirst(float* p, size_t n, V v) {
        float buf[4];
        vst1q_f32(buf, v);
        std::memcpy(p, buf, n * sizeof(float));
    }

    static V set1(float f) { return vdupq_n_f32(f); }
    static V add(V a, V b) { return vaddq_f32(a, b); }
    static V sub(V a, V b) { return vsubq_f32(a, b); }
    static V mul(V a, V b) { return vmulq_f32(a, b); }
    static V div(V a, V b) { return vdivq_f32(a, b); }
    static V negate(V a) { return vnegq_f32(a); }  // flips the sign bit only

    static V sqrt(V a) { return vsqrtq_f32(a); }
    // {p[0], p[stride], p[2 * stride], p[3 * stride]}, and its inverse.
    static V gatherStrided(const float* p, size_t stride) {
        V v = vld1q_dup_f32(p);
        v = vld1q_lane_f32(p + stride, v, 1);
        v = vld1q_lane_f32(p + 2 * stride, v, 2);
        return vld1q_lane_f32(p + 3 * stride, v, 3);
    }
    static void scatterStrided(float* p, size_t stride, V v) {
        vst1q_lane_f32(p, v, 0);
        vst1q_lane_f32(p + stride, v, 1);
        vst1q_lane_f32(p + 2 * stride, v, 2);
        vst1q_lane_f32(p + 3 * stride, v, 3);
    }

    static V greaterElse(V a, V b) { return vbslq_f32(vcgtq_f32(a, b), a, b); }
    static V lessElse(V a, V b) { return vbslq_f32(vcltq_f32(a, b), a, b); }
    static V ifGreater(V a, V b, V t, V f) { return vbslq_f32(vcgtq_f32(a, b), t, f); }
    static V ifGreaterEqual(V a, V b, V t, V f) { return vbslq_f32(vcgeq_f32(a, b), t, f); }
    static V ifLess(V a, V b, V t, V f) { return vbslq_f32(vcltq_f32(a, b), t, f); }
    static bool anyNaN(V a) { return vmaxvq_u32(vmvnq_u32(vceqq_f32(a, a))) != 0; }
    static V ifNaN(V a, V t) { return vbslq_f32(vceqq_f32(a, a), a, t); }
};

// The double halves of generic/math.hpp: two doubles each.
struct MathLanes {
    using F = float32x4_t;
    using D = float64x2_t;
    using U = uint64x2_t;
    static constexpr size_t kWidth = 4;

    static F load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, F v) { vst1q_f32(p, v); }
    static D lowHalf(F f) { return vcvt_f64_f32(vget_low_f32(f)); }
    static D highHalf(F f) { return vcvt_high_f64_f32(f); }
    // FCVTN rounds by the FPCR mode, to nearest under Linux.
    static F narrow(D lo, D hi) { return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi); }

    static D setD(double d) { return vdupq_n_f64(d); }
    static D addD(D a, D b) { return vaddq_f64(a, b); }
    static D subD(D a, D b) { return vsubq_f64(a, b); }
    static D mulD(D a, D b) { return vmulq_f64(a, b); }
    static D divD(D a, D b) { return vdivq_f64(a, b); }
    static D minD(D a, D b) { return vbslq_f64(vcltq_f64(a, b), a, b); }
    static U setU(uint64_t u) { return vdupq_n_u64(u); }
    static U bitsOf(D d) { return vreinterpretq_u64_f64(d); }
    static D fromBits(U u) { return vreinterpretq_f64_u64(u); }
    static U andU(U a, U b) { return vandq_u64(a, b); }
    static U addU(U a, U b) { return vaddq_u64(a, b); }
    static U shiftLeft46(U a) { return vshlq_n_u64(a, 46); }
    static D gather(const double* table, U j) {
        return vcombine_f64(vld1_f64(table + vgetq_lane_u64(j, 0)), vld1_f64(table + vgetq_lane_u64(j, 1)));
    }

    static F clampFloat(F x, float lo, float hi) {
        return Lanes::lessElse(Lanes::greaterElse(x, vdupq_n_f32(lo)), vdupq_n_f32(hi));
    }
    static F absAndSign(F x, F& sign) {
        const uint32x4_t s = vandq_u32(floatToBits(x), vdupq_n_u32(0x80000000u));
        sign = bitsToFloat(s);
        return bitsToFloat(veorq_u32(floatToBits(x), s));
    }
    static F orSign(F x, F sign) { return bitsToFloat(vorrq_u32(floatToBits(x), floatToBits(sign))); }
    static unsigned differ(F a, F b) {
        static const uint32_t kBit[4] = {1, 2, 4, 8};
        return vaddvq_u32(vandq_u32(vmvnq_u32(vceqq_f32(a, b)), vld1q_u32(kBit)));
    }
    static F quietNaNs(F out, F x) {
        const F quieted = bitsToFloat(vorrq_u32(floatToBits(x), vdupq_n_u32(0x00400000u)));
        return vbslq_f32(vceqq_f32(x, x), out, quieted);
    }
};
