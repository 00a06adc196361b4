// The corpus: which models, which inputs, and why.
//
// Element-wise layers (the seven activations and layer normalization) come
// alone, as the first layer of a model, at every length of kLengths: 0, 1,
// below, at and above the vector widths 4, 8 and 16 and their multiples, so
// that every main loop and every remainder of their kernels runs. An
// activation's inputs are a pool of values laid over as many vectors as it
// takes for each value to appear: the special values (signed zeros,
// subnormals, infinities, quiet NaNs with payloads of both signs, the
// neighbours of the constants), and for elu, sigmoid and tanh the ranges and
// edges of exp and tanh, with the inputs whose rounding the fast evaluations
// leave undecided. Parameters get their own variants: clip with min > max,
// elu with alpha 0 and negative alpha, layer normalization with eps 0 on
// constant inputs, and so on.
//
// Linear layers come with every length of input (chunks of 16 and a tail)
// and every size of short last group for groups of 4, 8 and 16 neurons, and
// with weights that make subnormal, overflowing and NaN results. Layers at
// and beyond the 16384-weight L1 threshold and the 131072-weight packing
// threshold are made from a recipe (a seed) instead of a committed file: they
// alone would take megabytes. Chains of every layer type run the activations
// in place after a linear layer, as models do.
#include "corpus.hpp"

#include <cstdint>
#include <initializer_list>
#include <limits>

namespace tolvex::known_answers {

namespace {

using testing::LayerPlan;
using testing::ModelPlan;
using testing::known::floatOf;
using testing::known::fnv1a64;
using testing::known::Recipe;
using testing::known::SplitMix64;
using T = LayerType;

constexpr uint32_t kLengths[] = {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65};
// Lengths of the parameter variants: a lone scalar, and a vector with a tail.
constexpr uint32_t kVariantLengths[] = {1, 17};

// clang-format off
constexpr uint32_t kSpecialBits[] = {
    0x00000000, 0x80000000,  // +0, -0
    0x00000001, 0x80000001,  // the smallest subnormals
    0x00012345, 0x80654321,  // subnormals
    0x007fffff, 0x807fffff,  // the largest subnormals
    0x00800000, 0x80800000,  // the smallest normals
    0x7f7fffff, 0xff7fffff,  // the largest finite floats
    0x7f800000, 0xff800000,  // infinities
    0x7fc00000, 0xffc00000, 0x7fc00001, 0xffc00002, 0x7fe12345, 0xfff0beef,  // quiet NaNs
    0x3f800000, 0xbf800000,  // +-1
    0x3f000000, 0xbf000000,  // +-0.5
    0x40500000, 0xc0500000,  // +-3.25
    0x40c00000, 0xc0c00000,  // +-6, relu6's cap
    0x40bfffff, 0x40c00001,  // just below and above 6
    0xbfc00000, 0xbfc00001, 0xbfbfffff,  // -1.5, the clip models' min, and its neighbours
    0x40100000, 0x400fffff, 0x40100001,  // 2.25, their max, and its neighbours
    0x3727c5ac, 0xb727c5ac,  // +-1e-5
    0x42c80000, 0xc2c80000,  // +-100
    0x7149f2ca, 0xf149f2ca,  // +-1e30
};

// Arguments of exp, through elu (exp(x)) and sigmoid (exp(-x)).
constexpr uint32_t kExpBits[] = {
    0x0da24260, 0x8da24260,  // +-1e-30
    0x33000000, 0xb3000000,  // +-2^-25
    0x3727c5ab, 0x3727c5ad, 0xb727c5ab, 0xb727c5ad,  // the neighbours of +-1e-5
    0x3f317218, 0xbf317218,  // +-ln 2
    0x40133333, 0xc0133333,  // +-2.3
    0x41200000, 0xc1200000,  // +-10
    0xc18aa123, 0xc18aa122,  // -17.32868: from here down, exp(x) - 1 rounds to -1
    0x41851592, 0x41851591, 0xc1851592, 0xc1851591,  // +-16.635532: sigmoid rounds to 1 from here up
    0xc2aeac4f, 0xc2aeac50,  // -87.33654: below it exp(x) is subnormal
    0x42b17217, 0x42b17218, 0xc2b17217, 0xc2b17218,  // +-88.72283: above it exp(x) overflows
    0xc2cff1b4, 0xc2cff1b5,  // -103.972076: below it exp(x) is 0
    0x42d00000, 0xc2d00000,  // +-104
    0x43160000, 0xc3160000, 0xc3170000,  // 150, -150, -151
    0x447a0000, 0xc47a0000,  // +-1000
    // Inputs whose fast evaluation cannot be rounded with certainty, and
    // their negations (sigmoid takes exp(-x)).
    0x377eff81, 0x39c6be5b, 0x4001b249, 0x40315b33, 0xbae0e25c, 0xbbf0edf1, 0xc16912cd,
    0xb77eff81, 0xb9c6be5b, 0xc001b249, 0xc0315b33, 0x3ae0e25c, 0x3bf0edf1, 0x416912cd,
};

constexpr uint32_t kTanhBits[] = {
    0x0da24260, 0x8da24260,  // +-1e-30
    0x39b89ba2, 0x39b89ba3, 0xb9b89ba2, 0xb9b89ba3,  // +-0.000352112: tanh(x) rounds to x up to here
    0x3f0c9f54, 0xbf0c9f54,  // +-atanh(0.5)
    0x40900000, 0xc0900000,  // +-4.5
    0x41102cb3, 0x41102cb4, 0xc1102cb3, 0xc1102cb4,  // +-9.0109138: tanh rounds to +-1 from here
    0x41280000, 0xc1280000,  // +-10.5
    0x41a00000, 0xc1a00000,  // +-20
    0x42b1999a, 0xc2b1999a,  // +-88.8
    // Inputs whose fast evaluation cannot be rounded with certainty.
    0x3ac37de2, 0x3c96ae2e, 0x3cd41b91, 0x3d7c3055, 0x3eee0566, 0x3ff8bc7e, 0x4013cd84, 0x40a6ef82,
    0x40acb4d0, 0x40c5e8ca, 0xbac37de2, 0xbc96ae2e, 0xbcd41b91, 0xbd7c3055, 0xbeee0566, 0xbff8bc7e,
    0xc013cd84, 0xc0a6ef82, 0xc0acb4d0, 0xc0c5e8ca,
};
// clang-format on

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = floatOf(0xffc00002);  // a quiet NaN with a payload

std::vector<float> floats(std::initializer_list<std::span<const uint32_t>> lists) {
    std::vector<float> v;
    for (std::span<const uint32_t> bits : lists)
        for (uint32_t b : bits) v.push_back(floatOf(b));
    return v;
}

SplitMix64 generatorFor(const std::string& name) {
    return SplitMix64{fnv1a64({reinterpret_cast<const uint8_t*>(name.data()), name.size()})};
}

// A random subnormal of random sign.
float subnormal(SplitMix64& g) {
    const uint64_t r = g.next();
    return floatOf(static_cast<uint32_t>(r >> 63) << 31 | (static_cast<uint32_t>(r & 0x7fffff) | 1u));
}

// Pool value v·n + i (cyclically) at element i of vector v, over as many
// vectors as it takes to use every value; one empty vector for n = 0.
std::vector<std::vector<float>> poolVectors(const std::vector<float>& pool, uint32_t n) {
    if (n == 0) return {{}};
    const size_t count = (pool.size() + n - 1) / n;
    std::vector<std::vector<float>> out(count, std::vector<float>(n));
    for (size_t v = 0; v < count; ++v)
        for (size_t i = 0; i < n; ++i) out[v][i] = pool[(v * n + i) % pool.size()];
    return out;
}

// The pool of an activation: the special values, the given ranges, and 16
// random values of moderate size.
std::vector<float> activationPool(SplitMix64& g, std::span<const uint32_t> extra) {
    std::vector<float> pool = floats({kSpecialBits, extra});
    for (float x : g.spread(16, -3, 3)) pool.push_back(x);
    return pool;
}

// Inputs of a layer that reads its whole input at once (linear layers,
// chains): random values, the same sprinkled with signed zeros and
// subnormals, all +0, all -0, one infinity at the end, one NaN in the middle,
// and magnitudes whose products overflow.
std::vector<std::vector<float>> vectorInputs(SplitMix64& g, uint32_t n) {
    if (n == 0) return {{}};
    std::vector<float> random = g.spread(n, -4, 4), sparse = g.spread(n, -4, 4);
    for (uint32_t i = 0; i < n; ++i) {
        if (i % 3 == 0) sparse[i] = i % 2 == 0 ? 0.0f : -0.0f;
        if (i % 5 == 1) sparse[i] = subnormal(g);
    }
    std::vector<float> inf = random, nan = random;
    inf[n - 1] = kInf;
    nan[n / 2] = kNaN;
    return {random, sparse, std::vector<float>(n, 0.0f), std::vector<float>(n, -0.0f),
            inf,    nan,    g.spread(n, 120, 127)};
}

// Inputs of layer normalization: random values, values close together far
// from zero (cancellation in x - mean), constant vectors (variance 0),
// subnormals, magnitudes whose squares overflow, alternating signed zeros,
// one infinity, one NaN.
std::vector<std::vector<float>> layerNormInputs(SplitMix64& g, uint32_t n) {
    if (n == 0) return {{}};
    std::vector<std::vector<float>> in;
    in.push_back(g.spread(n, -3, 3));
    std::vector<float> close = g.spread(n, -6, -2);
    for (float& x : close) x = x + 1024.0f;
    in.push_back(close);
    for (uint32_t c : {0x00000000u, 0x80000000u, 0x3fc00000u, 0x00012345u, 0x7149f2cau})
        in.emplace_back(n, floatOf(c));
    std::vector<float> tiny(n), zeros(n);
    for (uint32_t i = 0; i < n; ++i) {
        tiny[i] = subnormal(g);
        zeros[i] = i % 2 == 0 ? -0.0f : 0.0f;
    }
    in.push_back(tiny);
    in.push_back(g.spread(n, 60, 70));
    in.push_back(zeros);
    std::vector<float> inf = in[0], nan = in[0];
    inf[n - 1] = -kInf;
    nan[0] = floatOf(0x7fe12345);
    in.push_back(inf);
    in.push_back(nan);
    return in;
}

LayerPlan plain(T type, uint32_t n, float a = 0, float b = 0) { return {type, n, {}, {}, a, b}; }

LayerPlan layerNorm(SplitMix64& g, uint32_t n, float eps) {
    LayerPlan l{T::layer_norm, n, g.spread(n, -2, 1), g.spread(n, -4, 0), eps};
    if (n > 1) l.biases[1] = -0.0f;
    return l;
}

// Weights spread(-6, 0) and biases spread(-4, 0), the first bias -0 (which
// an empty input turns into +0), the second subnormal.
LayerPlan linear(SplitMix64& g, uint32_t in, uint32_t out, int wmin = -6, int wmax = 0) {
    LayerPlan l{T::linear, out, g.spread(size_t{in} * out, wmin, wmax), g.spread(out, -4, 0)};
    if (out > 0) l.biases[0] = -0.0f;
    if (out > 1) l.biases[1] = subnormal(g);
    return l;
}

struct Corpus {
    std::vector<Case> cases;

    void add(std::string name, std::string dir, ModelPlan plan, std::vector<std::vector<float>> inputs,
             bool json = false) {
        plan.name = name;
        Case c{std::move(name), std::move(dir), json, std::move(plan), std::nullopt, std::move(inputs)};
        cases.push_back(std::move(c));
    }

    void elementwise() {
        struct Kind {
            const char* name;
            T type;
            float a, b;
            std::span<const uint32_t> range;
            bool json;
        };
        const Kind kinds[] = {
            {"relu", T::relu, 0, 0, {}, false},
            {"relu6", T::relu6, 0, 0, {}, true},
            {"leaky_relu", T::leaky_relu, 0.01f, 0, {}, false},
            {"clip", T::clip, -1.5f, 2.25f, {}, false},
            {"elu", T::elu, 1.0f, 0, kExpBits, false},
            {"sigmoid", T::sigmoid, 0, 0, kExpBits, true},
            {"tanh", T::tanh, 0, 0, kTanhBits, false},
        };
        for (const Kind& k : kinds)
            for (uint32_t n : kLengths) {
                const std::string name = std::string(k.name) + "-" + std::to_string(n);
                SplitMix64 g = generatorFor(name);
                add(name, "elementwise", {"", n, {plain(k.type, n, k.a, k.b)}},
                    poolVectors(activationPool(g, k.range), n), k.json);
            }

        struct Variant {
            const char* name;
            T type;
            float a, b;
            std::span<const uint32_t> range;
        };
        const Variant variants[] = {
            {"clip-min-above-max", T::clip, 1.0f, -1.0f, {}},
            {"clip-min-equals-max", T::clip, 0.5f, 0.5f, {}},
            {"clip-signed-zero-bounds", T::clip, -0.0f, 0.0f, {}},
            {"clip-infinite-bounds", T::clip, -kInf, kInf, {}},
            {"clip-nan-min", T::clip, kNaN, 1.0f, {}},
            {"clip-nan-max", T::clip, -1.0f, floatOf(0x7fc00001), {}},
            {"elu-alpha-0", T::elu, 0.0f, 0, kExpBits},
            {"elu-alpha-negative", T::elu, -0.5f, 0, kExpBits},
            {"elu-alpha-minus-0", T::elu, -0.0f, 0, kExpBits},
            {"elu-alpha-2.5", T::elu, 2.5f, 0, kExpBits},
            {"elu-alpha-infinite", T::elu, kInf, 0, kExpBits},
            {"leaky_relu-slope-0", T::leaky_relu, 0.0f, 0, {}},
            {"leaky_relu-slope-negative", T::leaky_relu, -0.5f, 0, {}},
            {"leaky_relu-slope-1.5", T::leaky_relu, 1.5f, 0, {}},
            {"leaky_relu-slope-minus-0", T::leaky_relu, -0.0f, 0, {}},
        };
        for (const Variant& v : variants)
            for (uint32_t n : kVariantLengths) {
                const std::string name = std::string(v.name) + "-" + std::to_string(n);
                SplitMix64 g = generatorFor(name);
                add(name, "elementwise", {"", n, {plain(v.type, n, v.a, v.b)}},
                    poolVectors(activationPool(g, v.range), n));
            }
    }

    void layerNorms() {
        for (uint32_t n : kLengths) {
            const std::string name = "layer_norm-" + std::to_string(n);
            SplitMix64 g = generatorFor(name);
            add(name, "layer_norm", {"", n, {layerNorm(g, n, 1e-5f)}}, layerNormInputs(g, n));
        }
        struct Variant {
            const char* name;
            float eps;
            bool special_params;
        };
        const Variant variants[] = {
            {"layer_norm-eps-0", 0.0f, false},          // constant inputs give 0 / 0
            {"layer_norm-eps-negative", -1.0f, false},  // sqrt of a negative number
            {"layer_norm-eps-huge", 1e30f, false},
            {"layer_norm-special-params", 1e-5f, true},
        };
        for (const Variant& v : variants)
            for (uint32_t n : kVariantLengths) {
                const std::string name = std::string(v.name) + "-" + std::to_string(n);
                SplitMix64 g = generatorFor(name);
                LayerPlan l = layerNorm(g, n, v.eps);
                if (v.special_params)
                    for (uint32_t i = 0; i < n; ++i) {
                        l.weights[i] = floatOf(kSpecialBits[(2 * i) % std::size(kSpecialBits)]);
                        l.biases[i] = floatOf(kSpecialBits[(2 * i + 1) % std::size(kSpecialBits)]);
                    }
                add(name, "layer_norm", {"", n, {l}}, layerNormInputs(g, n));
            }
    }

    void linears() {
        auto one = [&](uint32_t out, uint32_t in, bool json = false) {
            const std::string name = "linear-" + std::to_string(out) + "x" + std::to_string(in);
            for (const Case& c : cases)
                if (c.name == name) return;
            SplitMix64 g = generatorFor(name);
            add(name, "linear", {"", in, {linear(g, in, out)}}, vectorInputs(g, in), json);
        };
        // Every input length with 33 neurons (a short last group of one for
        // groups of 4, 8 and 16); every short last group with 37 inputs (two
        // chunks and a tail) and some with 32 (no tail).
        for (uint32_t in : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 48, 67}) one(33, in, in == 17);
        for (uint32_t out : {0, 1, 3, 4, 5, 7, 8, 9, 12, 13, 15, 16, 17, 20, 24, 31, 32, 48}) one(out, 37);
        for (uint32_t out : {1, 5, 8, 12, 20}) one(out, 32);

        // Special values in the parameters: each row has one at its own
        // position, and so has the bias vector.
        {
            SplitMix64 g = generatorFor("linear-special-weights");
            LayerPlan l = linear(g, 21, 20);
            for (uint32_t k = 0; k < 20; ++k) {
                l.weights[k * 21 + (5 * k) % 21] = floatOf(kSpecialBits[k]);
                if (k % 3 == 2) l.biases[k] = floatOf(kSpecialBits[(k + 7) % 20]);
            }
            add("linear-special-weights-20x21", "linear", {"", 21, {l}}, vectorInputs(g, 21));
        }
        // Signed zeros only: the lane sums start at +0, so every output is +0.
        {
            LayerPlan l{T::linear, 5, {}, std::vector<float>(5, -0.0f)};
            for (uint32_t i = 0; i < 5 * 19; ++i) l.weights.push_back(i % 2 ? -0.0f : 0.0f);
            std::vector<std::vector<float>> in(2, std::vector<float>(19, -0.0f));
            for (uint32_t i = 0; i < 19; i += 3) in[1][i] = 0.0f;
            add("linear-signed-zeros-5x19", "linear", {"", 19, {l}}, in);
        }
        // Products and sums in the subnormal range, which must not be flushed.
        {
            SplitMix64 g = generatorFor("linear-subnormal");
            LayerPlan l = linear(g, 19, 17, -72, -66);
            for (float& b : l.biases) b = subnormal(g);
            std::vector<std::vector<float>> in = {g.spread(19, -64, -58), g.spread(19, -64, -58)};
            add("linear-subnormal-17x19", "linear", {"", 19, {l}}, in);
        }
        // Products that overflow; sums of opposite infinities are NaN.
        {
            SplitMix64 g = generatorFor("linear-overflow");
            LayerPlan l = linear(g, 18, 16, 100, 127);
            add("linear-overflow-16x18", "linear", {"", 18, {l}}, {g.spread(18, 0, 20), g.spread(18, 0, 20)});
        }
        // The order of the sum is visible: the lane products are summed
        // before the bias takes them (1e8 + 16 = 100000016), each tail
        // product after it.
        for (uint32_t in : {16u, 17u, 33u}) {
            LayerPlan l{T::linear, 1, std::vector<float>(in, 1.0f), {1e8f}};
            add("linear-sum-order-1x" + std::to_string(in), "linear", {"", in, {l}},
                {std::vector<float>(in, 1.0f), std::vector<float>(in, -1.0f)});
        }
    }

    void chains() {
        auto chain = [&](const std::string& name, uint32_t in, auto&& layers, bool json) {
            SplitMix64 g = generatorFor(name);
            ModelPlan plan{"", in, layers(g)};
            add(name, "chains", std::move(plan), vectorInputs(g, in), json);
        };
        chain(
            "chain-every-type", 5,
            [](SplitMix64& g) {
                return std::vector<LayerPlan>{linear(g, 5, 17, -3, 0),
                                              layerNorm(g, 17, 1e-5f),
                                              plain(T::clip, 17, -0.75f, 0.9f),
                                              plain(T::elu, 17, 0.8f),
                                              plain(T::leaky_relu, 17, 0.02f),
                                              plain(T::relu6, 17),
                                              plain(T::sigmoid, 17),
                                              plain(T::tanh, 17),
                                              plain(T::relu, 17),
                                              linear(g, 17, 3, -3, 0)};
            },
            true);
        chain(
            "chain-tanh-mlp", 4,
            [](SplitMix64& g) {
                return std::vector<LayerPlan>{linear(g, 4, 32, -3, 0), plain(T::tanh, 32),
                                              linear(g, 32, 32, -5, -1), plain(T::tanh, 32),
                                              linear(g, 32, 1, -5, -1)};
            },
            true);
        chain(
            "chain-activation-first", 9,
            [](SplitMix64& g) {
                return std::vector<LayerPlan>{plain(T::sigmoid, 9),     linear(g, 9, 20, -4, 0),
                                              plain(T::elu, 20, 1.0f),  linear(g, 20, 33, -5, -1),
                                              plain(T::tanh, 33),       layerNorm(g, 33, 1e-5f),
                                              linear(g, 33, 7, -5, -1), plain(T::leaky_relu, 7, 0.1f)};
            },
            false);
        chain(
            "chain-wide", 48,
            [](SplitMix64& g) {
                return std::vector<LayerPlan>{linear(g, 48, 64, -6, -2), plain(T::relu, 64),
                                              linear(g, 64, 40, -6, -2), plain(T::relu6, 40),
                                              linear(g, 40, 16, -6, -2), plain(T::clip, 16, -0.5f, 0.5f)};
            },
            false);
        chain(
            "chain-zero-sizes", 3,
            [](SplitMix64& g) {
                return std::vector<LayerPlan>{linear(g, 3, 0), plain(T::relu, 0), linear(g, 0, 2),
                                              plain(T::elu, 2, 1.0f)};
            },
            false);
    }

    // Large layers, each at or beyond a threshold of the linear kernels.
    void generated() {
        struct Big {
            const char* name;
            uint64_t seed;
            uint32_t in;
            std::vector<std::string> layers;
            size_t inputs;
        };
        const Big bigs[] = {
            // 16384 weights, the most that stay in L1: packed, one group per tile.
            {"linear-128x128", 0x101, 128, {"linear:128"}, 4},
            // Beyond: packed in tiles of four groups; the last tile and the
            // last group are short.
            {"linear-129x128", 0x102, 128, {"linear:129"}, 4},
            {"linear-131x127", 0x103, 127, {"linear:131"}, 4},
            {"linear-64x257", 0x104, 257, {"linear:64"}, 4},
            // 131072 weights, the most that get a packed copy.
            {"linear-256x512", 0x105, 512, {"linear:256"}, 3},
            // Row-major from here: aligned loads (rows a multiple of 16), the
            // next rows fetched ahead (short rows with a tail), long rows with
            // a tail, and rows shorter than one chunk.
            {"linear-257x512", 0x106, 512, {"linear:257"}, 3},
            {"linear-600x300-tanh", 0x107, 300, {"linear:600", "tanh"}, 3},
            {"linear-300x600", 0x108, 600, {"linear:300"}, 3},
            {"linear-8739x15", 0x109, 15, {"linear:8739"}, 1},
        };
        for (const Big& b : bigs) {
            SplitMix64 g = generatorFor(b.name);
            std::vector<std::vector<float>> in = vectorInputs(g, b.in);
            // Random, sprinkled, and the NaN vector.
            std::vector<std::vector<float>> chosen = {in[0], in[1], in[5], in[4]};
            chosen.resize(b.inputs);
            cases.push_back(
                {b.name, "", false, std::nullopt, Recipe{b.seed, b.in, b.layers}, std::move(chosen)});
        }
    }
};

}  // namespace

std::vector<Case> corpusCases() {
    Corpus c;
    c.elementwise();
    c.layerNorms();
    c.linears();
    c.chains();
    c.generated();
    return std::move(c.cases);
}

}  // namespace tolvex::known_answers
