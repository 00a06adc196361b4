// The portable lanes: the compiler's generic vectors of four floats (V4 of
// generic/linear_quad.hpp: SSE2 on x86-64, VSX on POWER, plain scalar code
// where there are none), and the element-wise traits of
// generic/elementwise.hpp. Part of the baseline unit
// (baseline.cpp): included inside namespace tolvex::baseline.
//
// Comparisons and selections are written as the scalar forms, lane by lane:
// `a > b ? a : b` with the ordered comparison, false when either is NaN.

struct Math;

struct Lanes {
    using V = V4;
    using Math = baseline::Math;
    static constexpr size_t kWidth = 4;

    static V load(const float* p) { return load4(p); }
    static void store(float* p, V v) { store4(p, v); }
    static V loadFirst(const float* p, size_t n) {
        V v = {};
        std::memcpy(&v, p, n * sizeof(float));
        return v;
    }
    static void storeFirst(float* p, size_t n, V v) { std::memcpy(p, &v, n * sizeof(float)); }

    static V set1(float f) { return V{f, f, f, f}; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V div(V a, V b) { return a / b; }
    static V negate(V a) { return reinterpret_cast<V>(reinterpret_cast<I4>(a) ^ INT32_MIN); }

    static V sqrt(V a) { return V{std::sqrt(a[0]), std::sqrt(a[1]), std::sqrt(a[2]), std::sqrt(a[3])}; }
    // {p[0], p[stride], p[2 * stride], p[3 * stride]}, and its inverse.
    static V gatherStrided(const float* p, size_t stride) { return V{p[0], p[stride], p[2 * stride], p[3 * stride]}; }
    static void scatterStrided(float* p, size_t stride, V v) {
        for (size_t i = 0; i < 4; ++i) p[i * stride] = v[i];
    }

    static V greaterElse(V a, V b) { return a > b ? a : b; }
    static V lessElse(V a, V b) { return a < b ? a : b; }
    static V ifGreater(V a, V b, V t, V f) { return a > b ? t : f; }
    static V ifGreaterEqual(V a, V b, V t, V f) { return a >= b ? t : f; }
    static V ifLess(V a, V b, V t, V f) { return a < b ? t : f; }
    static bool anyNaN(V a) {
        const I4 nan = a != a;
        return (nan[0] | nan[1] | nan[2] | nan[3]) != 0;
    }
    static V ifNaN(V a, V t) { return a != a ? t : a; }
};

// The double halves of generic/math.hpp: two doubles each.
typedef double V2d __attribute__((vector_size(16)));
typedef uint64_t V2u __attribute__((vector_size(16)));
typedef float V2f __attribute__((vector_size(8)));

struct MathLanes {
    using F = V4;
    using D = V2d;
    using U = V2u;
    static constexpr size_t kWidth = 4;

    static F load(const float* p) { return load4(p); }
    static void store(float* p, F v) { store4(p, v); }
    static D lowHalf(F f) { return __builtin_convertvector(__builtin_shufflevector(f, f, 0, 1), D); }
    static D highHalf(F f) { return __builtin_convertvector(__builtin_shufflevector(f, f, 2, 3), D); }
    static F narrow(D lo, D hi) {
        return __builtin_shufflevector(__builtin_convertvector(lo, V2f), __builtin_convertvector(hi, V2f), 0, 1, 2, 3);
    }

    static D setD(double d) { return D{d, d}; }
    static D addD(D a, D b) { return a + b; }
    static D subD(D a, D b) { return a - b; }
    static D mulD(D a, D b) { return a * b; }
    static D divD(D a, D b) { return a / b; }
    static D minD(D a, D b) { return a < b ? a : b; }
    static U setU(uint64_t u) { return U{u, u}; }
    static U bitsOf(D d) { return reinterpret_cast<U>(d); }
    static D fromBits(U u) { return reinterpret_cast<D>(u); }
    static U andU(U a, U b) { return a & b; }
    static U addU(U a, U b) { return a + b; }
    static U shiftLeft46(U a) { return a << 46; }
    static D gather(const double* table, U j) { return D{table[j[0]], table[j[1]]}; }

    static F clampFloat(F x, float lo, float hi) {
        const F l = Lanes::set1(lo), h = Lanes::set1(hi);
        const F c = x > l ? x : l;
        return c < h ? c : h;
    }
    static F absAndSign(F x, F& sign) {
        const I4 bits = reinterpret_cast<I4>(x);
        sign = reinterpret_cast<F>(bits & INT32_MIN);
        return reinterpret_cast<F>(bits & INT32_MAX);
    }
    static F orSign(F x, F sign) { return reinterpret_cast<F>(reinterpret_cast<I4>(x) | reinterpret_cast<I4>(sign)); }
    static unsigned differ(F a, F b) {
        const I4 d = a != b;
        return (d[0] & 1u) | (d[1] & 2u) | (d[2] & 4u) | (d[3] & 8u);
    }
    static F quietNaNs(F out, F x) {
        const F quieted = reinterpret_cast<F>(reinterpret_cast<I4>(x) | 0x00400000);
        return x != x ? quieted : out;
    }
};
