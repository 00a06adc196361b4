// The element-wise kernels, written once for every implementation: the seven
// activations, the exp and tanh array forms and the NaN canonicalisation. An
// implementation includes this file inside its own namespace (and its
// instruction-set region), after its `Lanes` traits:
//
//   V, kWidth                   the vector type and its lanes
//   load, store                 kWidth floats, unaligned
//   loadFirst(p, n), storeFirst(p, n, v)
//                               the first n < kWidth lanes, touching no float
//                               past p[n - 1]; the other lanes load as +0.0
//   set1, add, sub, mul, div, sqrt, negate (flips the sign bit)
//   gatherStrided(p, stride), scatterStrided(p, stride, v)
//                               lane i from/to p[i * stride]
//   greaterElse(a, b)           a > b ? a : b, lane by lane
//   lessElse(a, b)              a < b ? a : b
//   ifGreater(a, b, t, f)       a > b ? t : f; likewise ifGreaterEqual, ifLess
//   ifNaN(a, t)                 a is NaN ? t : a; anyNaN(a) whether a lane is
//   Math                        made once per call; exp(V) and tanh(V), the
//                               correctly rounded functions lane by lane
//
// Comparisons are the ordered IEEE ones, false when an operand is NaN, so
// each form below gives exactly the scalar form's result lane by lane, NaN
// and signed zeros included. Every element is read before it is written, so
// every kernel may run in place.

// y[i] = f(x[i]) for i < n; x and y may be the same array.
template <class F>
[[gnu::always_inline]] inline void mapArray(const float* x, float* y, size_t n, F f) {
    size_t i = 0;
    for (; i + Lanes::kWidth <= n; i += Lanes::kWidth) Lanes::store(y + i, f(Lanes::load(x + i)));
    if (i < n) Lanes::storeFirst(y + i, n - i, f(Lanes::loadFirst(x + i, n - i)));
}

// f over the out_buf.len input elements, into out_buf.
template <class F>
[[gnu::always_inline]] inline void mapLayer(const Layer& layer, Slice<const float> input, F f) {
    mapArray(input.ptr, layer.out_buf.ptr, layer.out_buf.len, f);
}

using V = Lanes::V;

void relu(const Layer& layer, Slice<const float> input) {
    const V zero = Lanes::set1(0.0f);
    // x > 0 ? x : +0.0, so NaN and -0.0 give +0.0.
    mapLayer(layer, input, [=](V x) { return Lanes::greaterElse(x, zero); });
}

void relu6(const Layer& layer, Slice<const float> input) {
    const V zero = Lanes::set1(0.0f), six = Lanes::set1(6.0f);
    // t = 6 < x ? 6 : x, then t > 0 ? t : +0.0; t > 0 exactly when x > 0.
    mapLayer(layer, input, [=](V x) { return Lanes::greaterElse(Lanes::lessElse(six, x), zero); });
}

void leakyRelu(const Layer& layer, Slice<const float> input) {
    const V zero = Lanes::set1(0.0f), slope = Lanes::set1(layer.cfg.leaky_relu.negative_slope);
    mapLayer(layer, input, [=](V x) { return Lanes::ifGreaterEqual(x, zero, x, Lanes::mul(x, slope)); });
}

void clip(const Layer& layer, Slice<const float> input) {
    const V lo = Lanes::set1(layer.cfg.clip.min), hi = Lanes::set1(layer.cfg.clip.max);
    // The lower bound is tested first, so lo > hi sends everything below lo
    // to lo and everything else to hi.
    mapLayer(layer, input, [=](V x) { return Lanes::ifLess(x, lo, lo, Lanes::lessElse(hi, x)); });
}

void elu(const Layer& layer, Slice<const float> input) {
    const Lanes::Math math;
    const V alpha = Lanes::set1(layer.cfg.elu.alpha), one = Lanes::set1(1.0f), zero = Lanes::set1(0.0f);
    // exp(x) - 1 rather than expm1: the rounding of exp is part of the result.
    mapLayer(layer, input, [&](V x) {
        return Lanes::ifGreater(x, zero, x, Lanes::mul(alpha, Lanes::sub(math.exp(x), one)));
    });
}

void sigmoid(const Layer& layer, Slice<const float> input) {
    const Lanes::Math math;
    const V one = Lanes::set1(1.0f);
    mapLayer(layer, input, [&](V x) { return Lanes::div(one, Lanes::add(one, math.exp(Lanes::negate(x)))); });
}

void tanh(const Layer& layer, Slice<const float> input) {
    const Lanes::Math math;
    mapLayer(layer, input, [&](V x) { return math.tanh(x); });
}

// Layer normalization of `rows` rows of `width` floats, `stride` floats
// apart, from x into y (which may be x): kWidth rows at a time, one row per lane, so that the sequential
// sums of several rows advance side by side; the remaining rows one by one.
// Each lane performs the scalar kernel's operations in its order: both sums
// one chain from +0.0, a division by the count, the square root of the
// variance plus eps, then per element subtract, divide, multiply, add.
void layerNormRows(const Layer& layer, const float* x, float* y, size_t rows, size_t width, size_t stride) {
    const LayerNorm& p = layer.cfg.layer_norm;
    constexpr size_t W = Lanes::kWidth;
    size_t r = 0;
    for (; width != 0 && r + W <= rows; r += W) {
        const float* xr = x + r * stride;
        float* yr = y + r * stride;
        const V count = Lanes::set1(static_cast<float>(width));
        V sum = Lanes::set1(0.0f);
        for (size_t i = 0; i < width; ++i) sum = Lanes::add(sum, Lanes::gatherStrided(xr + i, stride));
        const V mean = Lanes::div(sum, count);
        V a = Lanes::set1(0.0f);
        for (size_t i = 0; i < width; ++i) {
            const V d = Lanes::sub(Lanes::gatherStrided(xr + i, stride), mean);
            a = Lanes::add(a, Lanes::mul(d, d));
        }
        const V stddev = Lanes::sqrt(Lanes::add(Lanes::div(a, count), Lanes::set1(p.eps)));
        // Reads element i of every row before writing it: safe in place.
        for (size_t i = 0; i < width; ++i) {
            const V d = Lanes::sub(Lanes::gatherStrided(xr + i, stride), mean);
            const V v = Lanes::add(Lanes::mul(Lanes::div(d, stddev), Lanes::set1(p.weights[i])), Lanes::set1(p.biases[i]));
            Lanes::scatterStrided(yr + i, stride, v);
        }
    }
    Layer one = layer;
    for (; r < rows; ++r) {
        one.out_buf = {y + r * stride, width};
        runLayerNormScalar(one, {x + r * stride, width});
    }
}

void expArray(const float* x, float* y, size_t n) {
    const Lanes::Math math;
    mapArray(x, y, n, [&](V v) { return math.exp(v); });
}

void tanhArray(const float* x, float* y, size_t n) {
    const Lanes::Math math;
    mapArray(x, y, n, [&](V v) { return math.tanh(v); });
}

// y[i] = x[i] with every NaN replaced by the canonical NaN. In place (x == y)
// it writes only vectors that hold a NaN: an output seldom has one, and a
// pass then only reads it. Otherwise x and y must not overlap.
void canonicalizeNaNs(const float* x, float* y, size_t n) {
    const V nan = Lanes::set1(std::bit_cast<float>(kCanonicalNaN));
    if (x != y) return mapArray(x, y, n, [&](V v) { return Lanes::ifNaN(v, nan); });
    size_t i = 0;
    for (; i + Lanes::kWidth <= n; i += Lanes::kWidth) {
        const V v = Lanes::load(y + i);
        if (Lanes::anyNaN(v)) [[unlikely]]
            Lanes::store(y + i, Lanes::ifNaN(v, nan));
    }
    if (i == n) return;
    const V v = Lanes::loadFirst(y + i, n - i);
    if (Lanes::anyNaN(v)) [[unlikely]]
        Lanes::storeFirst(y + i, n - i, Lanes::ifNaN(v, nan));
}
