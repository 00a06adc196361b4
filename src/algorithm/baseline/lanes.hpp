// The portable lanes: the compiler's generic vectors of four floats (SSE2 on
// x86-64, VSX on POWER, plain scalar code where there are none), and the
// element-wise traits of generic/elementwise.hpp. Part of the baseline unit
// (baseline.cpp): included inside namespace tolvex::baseline.
//
// Comparisons and selections are written as the scalar forms, lane by lane:
// `a > b ? a : b` with the ordered comparison, false when either is NaN.

typedef float V4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

inline V4 load4(const float* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, V4 v) { std::memcpy(p, &v, sizeof v); }

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

    static V greaterElse(V a, V b) { return a > b ? a : b; }
    static V lessElse(V a, V b) { return a < b ? a : b; }
    static V ifGreater(V a, V b, V t, V f) { return a > b ? t : f; }
    static V ifGreaterEqual(V a, V b, V t, V f) { return a >= b ? t : f; }
    static V ifLess(V a, V b, V t, V f) { return a < b ? t : f; }
    static V ifNaN(V a, V t) { return a != a ? t : a; }
};

struct Math {
    V4 exp(V4 x) const {
        V4 y;
        for (int i = 0; i < 4; ++i) y[i] = math::exp(x[i]);
        return y;
    }
    V4 tanh(V4 x) const {
        V4 y;
        for (int i = 0; i < 4; ++i) y[i] = math::tanh(x[i]);
        return y;
    }
};
