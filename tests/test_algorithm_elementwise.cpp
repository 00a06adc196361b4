// Layer normalization and the seven activations on every implementation:
// bit-for-bit equal to the scalar reference, in place equal to out of place,
// and the special values and worked examples exactly.
#include <cstring>
#include <limits>
#include <vector>

#include "algorithm/algorithm.hpp"
#include "algorithm/math.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

constexpr float kSentinel = 12345.0f;
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

constexpr LayerType kElementwiseTypes[] = {LayerType::layer_norm, LayerType::clip,    LayerType::elu,
                                           LayerType::relu,       LayerType::relu6,   LayerType::sigmoid,
                                           LayerType::tanh,       LayerType::leaky_relu};

// A layer of one type over caller-owned parameter arrays.
struct ElementwiseCase {
    LayerConfig cfg;
    std::vector<float> weights, biases;  // layer_norm only

    Layer layer(float* out, size_t n) const {
        Layer l;
        l.cfg = cfg;
        if (cfg.type == LayerType::layer_norm) {
            l.cfg.layer_norm.weights = weights.data();
            l.cfg.layer_norm.biases = biases.data();
        }
        l.out_buf = {out, n};
        return l;
    }
};

ElementwiseCase randomCase(FloatSource& src, LayerType type, size_t n, double special) {
    ElementwiseCase c;
    c.cfg.type = type;
    switch (type) {
        case LayerType::layer_norm:
            c.weights = src.vec(n, special);
            c.biases = src.vec(n, special);
            c.cfg.layer_norm.eps = src.below(4) == 0 ? 0.0f : std::fabs(src.next(0.0)) * 1e-3f;
            break;
        case LayerType::clip:
            // Sometimes min > max, which sends everything not below min to max.
            c.cfg.clip = {src.next(0.0), src.next(0.0)};
            break;
        case LayerType::elu: c.cfg.elu = {src.next(0.0)}; break;
        case LayerType::leaky_relu: c.cfg.leaky_relu = {src.next(0.0)}; break;
        default: break;
    }
    return c;
}

// Input values: random ones plus, for clip, the bounds themselves and, for
// relu6, values around 6.
std::vector<float> randomInput(FloatSource& src, const ElementwiseCase& c, size_t n, double special) {
    std::vector<float> x = src.vec(n, special);
    for (size_t i = 0; i < n; ++i) {
        uint32_t r = src.below(8);
        if (c.cfg.type == LayerType::clip && r < 2) x[i] = r == 0 ? c.cfg.clip.min : c.cfg.clip.max;
        if (c.cfg.type == LayerType::relu6 && r < 3) x[i] = 6.0f + static_cast<float>(r) - 1.0f;
    }
    return x;
}

class ElementwiseKernel : public KernelPath {};
TOLVEX_ON_EVERY_KERNEL_PATH(ElementwiseKernel);

TEST_P(ElementwiseKernel, MatchesReferenceInPlaceAndOutOfPlace) {
    FloatSource src(11);
    for (LayerType type : kElementwiseTypes)
        for (size_t n : kernelSizes())
            for (double special : {0.0, 0.1}) {
                SCOPED_TRACE(std::string(layerTypeToStr(type)) + " n=" + std::to_string(n));
                ElementwiseCase c = randomCase(src, type, n, special / 4);
                const std::vector<float> x = randomInput(src, c, n, special);

                std::vector<float> got(n + 1, kNaN);
                got[n] = kSentinel;
                runLayer(c.layer(got.data(), n), Slice<const float>{x.data(), n});
                ASSERT_EQ(bitsOf(got[n]), bitsOf(kSentinel)) << "wrote past the output";
                std::vector<float> want(n);
                referenceLayer(c.layer(got.data(), n), Slice<const float>{x.data(), n}, want.data());
                ASSERT_TRUE(sameBits(want.data(), got.data(), n));

                std::vector<float> shared(x);
                shared.push_back(kSentinel);
                runLayer(c.layer(shared.data(), n), Slice<const float>{shared.data(), n});
                ASSERT_TRUE(sameBits(got.data(), shared.data(), n + 1)) << "in place";
            }
}

// Runs one activation over a vector that repeats `inputs`, long enough for
// the values to reach both the full vectors and the remainder.
void expectActivation(LayerConfig cfg, std::vector<float> inputs, std::vector<float> expected) {
    std::vector<float> x, want;
    for (size_t rep = 0; rep < 5; ++rep) {
        x.insert(x.end(), inputs.begin(), inputs.end());
        want.insert(want.end(), expected.begin(), expected.end());
    }
    std::vector<float> got(x.size(), kNaN);
    Layer layer;
    layer.cfg = cfg;
    layer.out_buf = {got.data(), got.size()};
    runLayer(layer, Slice<const float>{x.data(), x.size()});
    EXPECT_TRUE(sameBits(want.data(), got.data(), got.size())) << layerTypeToStr(cfg.type);
}

LayerConfig config(LayerType type) {
    LayerConfig c;
    c.type = type;
    return c;
}

// The output's NaNs, whatever their sign and payload (quiet or signalling),
// become the one canonical NaN; everything else keeps its bits. In place and
// into another array, every length around the vector widths, nothing written
// past the end.
TEST_P(ElementwiseKernel, CanonicalNaNsInPlaceAndIntoACopy) {
    const uint32_t nans[] = {0x7fc00001u, 0xffc00000u, 0x7f800001u, 0xffffffffu, 0x7fc00000u};
    const uint32_t others[] = {0x80000000u, 0x00000001u, 0x7f800000u, 0xff800000u, 0x3f800000u, 0xc2f6e979u};
    const uint32_t kGuard = 0x7fc0beefu;
    for (size_t n = 0; n <= 70; ++n) {
        std::vector<float> x(n);
        for (size_t i = 0; i < n; ++i) {
            const uint32_t u = i % 7 == 3 || i == 17 ? nans[i % 5] : others[i % 6];
            std::memcpy(&x[i], &u, 4);
        }
        const std::vector<float> kept = x;
        std::vector<float> copy(n + 1), in_place = x;
        std::memcpy(&copy[n], &kGuard, 4);
        in_place.push_back(copy[n]);
        GetParam()->canonicalize_nans(x.data(), copy.data(), n);
        GetParam()->canonicalize_nans(in_place.data(), in_place.data(), n);
        for (size_t i = 0; i < n; ++i) {
            const uint32_t want = kept[i] != kept[i] ? 0x7fc00000u : bitsOf(kept[i]);
            EXPECT_EQ(bitsOf(copy[i]), want) << "copy, n " << n << ", value " << i;
            EXPECT_EQ(bitsOf(in_place[i]), want) << "in place, n " << n << ", value " << i;
            EXPECT_EQ(bitsOf(x[i]), bitsOf(kept[i])) << "the source was written, n " << n;
        }
        EXPECT_EQ(bitsOf(copy[n]), kGuard) << "copy written past the end, n " << n;
        EXPECT_EQ(bitsOf(in_place[n]), kGuard) << "in place written past the end, n " << n;
    }
}

TEST_P(ElementwiseKernel, SpecialValues) {
    const std::vector<float> in = {kNaN, -0.0f, kInf, -kInf};
    expectActivation(config(LayerType::relu), in, {0.0f, 0.0f, kInf, 0.0f});
    expectActivation(config(LayerType::relu6), in, {0.0f, 0.0f, 6.0f, 0.0f});
    LayerConfig leaky = config(LayerType::leaky_relu);
    leaky.leaky_relu.negative_slope = 0.25f;
    expectActivation(leaky, in, {kNaN, -0.0f, kInf, -kInf});
    leaky.leaky_relu.negative_slope = -0.5f;
    expectActivation(leaky, in, {kNaN, -0.0f, kInf, kInf});
    LayerConfig elu = config(LayerType::elu);
    elu.elu.alpha = 2.0f;
    expectActivation(elu, in, {kNaN, 0.0f, kInf, -2.0f});
    expectActivation(config(LayerType::sigmoid), in, {kNaN, 0.5f, 1.0f, 0.0f});
    expectActivation(config(LayerType::tanh), in, {kNaN, -0.0f, 1.0f, -1.0f});
    LayerConfig clip = config(LayerType::clip);
    clip.clip = {-1.0f, 2.0f};
    expectActivation(clip, in, {kNaN, -0.0f, 2.0f, -1.0f});
}

TEST_P(ElementwiseKernel, WorkedActivationExamples) {
    expectActivation(config(LayerType::relu6), {6.0f, 7.5f, -3.0f, 0.5f}, {6.0f, 6.0f, 0.0f, 0.5f});
    LayerConfig leaky = config(LayerType::leaky_relu);
    leaky.leaky_relu.negative_slope = 0.25f;
    expectActivation(leaky, {-0.0f, -2.0f, 3.0f}, {-0.0f, -0.5f, 3.0f});
    expectActivation(config(LayerType::sigmoid), {-100.0f, 0.0f}, {0.0f, 0.5f});
    LayerConfig clip = config(LayerType::clip);
    clip.clip = {1.0f, -1.0f};
    expectActivation(clip, {0.5f, 2.0f, 1.0f, -1.0f}, {1.0f, -1.0f, -1.0f, 1.0f});

    // exp(x) - 1, not expm1: the rounding of exp shows in the result.
    LayerConfig elu = config(LayerType::elu);
    elu.elu.alpha = 1.0f;
    const float e = math::exp(-1.0e-5f);
    expectActivation(elu, {-1.0e-5f, 0.0f}, {e - 1.0f, 0.0f});
    if (e == 0.99998999f) expectActivation(elu, {-1.0e-5f}, {-1.00135803e-5f});
    elu.elu.alpha = -3.0f;
    expectActivation(elu, {0.0f}, {-0.0f});  // 0.0 takes the exp branch: -3 * (1 - 1)
}

ElementwiseCase layerNorm(std::vector<float> w, std::vector<float> b, float eps) {
    ElementwiseCase c;
    c.cfg.type = LayerType::layer_norm;
    c.cfg.layer_norm.eps = eps;
    c.weights = std::move(w);
    c.biases = std::move(b);
    return c;
}

std::vector<float> runLayerNormOn(const ElementwiseCase& c, std::vector<float> x) {
    std::vector<float> out(x.size(), kNaN);
    runLayer(c.layer(out.data(), out.size()), Slice<const float>{x.data(), x.size()});
    return out;
}

TEST_P(ElementwiseKernel, LayerNormDividesByCountNotCountMinusOne) {
    auto out = runLayerNormOn(layerNorm({1, 1, 1, 1}, {0, 0, 0, 0}, 0.0f), {1.0f, 2.0f, 3.0f, 4.0f});
    const std::vector<float> want = {-1.3416407f, -0.4472136f, 0.4472136f, 1.3416407f};
    EXPECT_TRUE(sameBits(want.data(), out.data(), 4));
}

TEST_P(ElementwiseKernel, LayerNormOfOneElementIsTheBias) {
    EXPECT_EQ(runLayerNormOn(layerNorm({3.5f}, {-0.75f}, 1e-5f), {42.0f})[0], -0.75f);
}

TEST_P(ElementwiseKernel, LayerNormWithoutEpsOnConstantInputIsNaN) {
    auto out = runLayerNormOn(layerNorm({1, 1}, {0, 0}, 0.0f), {2.0f, 2.0f});
    EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
}

TEST_P(ElementwiseKernel, LayerNormSumsInOneSequentialChain) {
    // Added one by one after 1e8, each 4 is lost to rounding; a sum split
    // into partial sums would add them up to 16 first and keep them.
    ElementwiseCase c = layerNorm(std::vector<float>(5, 1.0f), std::vector<float>(5, 0.0f), 1.0f);
    std::vector<float> x = {1.0e8f, 4.0f, 4.0f, 4.0f, 4.0f};
    auto out = runLayerNormOn(c, x);
    std::vector<float> want(5);
    referenceLayer(c.layer(out.data(), 5), Slice<const float>{x.data(), 5}, want.data());
    EXPECT_TRUE(sameBits(want.data(), out.data(), 5));
}

TEST_P(ElementwiseKernel, NanInLayerNormInputSpreadsToEveryOutput) {
    auto out = runLayerNormOn(layerNorm({1, 1, 1}, {0, 0, 0}, 1.0f), {1.0f, kNaN, 3.0f});
    for (float v : out) EXPECT_TRUE(std::isnan(v));
}

}  // namespace

namespace {

// Layer normalization of many rows at once, one row per vector lane: every
// row has the bits of the single-row kernel, for any number of rows (full
// vectors and the rest), in place and out of place, including constant
// rows without eps and NaN and infinite inputs.
TEST_P(ElementwiseKernel, LayerNormOfManyRowsMatchesOneRowAtATime) {
    FloatSource src(12);
    for (size_t width : {0, 1, 2, 7, 16, 33})
        for (size_t gap : {0, 3})
            for (size_t rows : {1, 3, 4, 5, 8, 15, 16, 17, 33})
                for (int variant = 0; variant < 3; ++variant) {
                    const size_t stride = width + gap;
                    ElementwiseCase c = randomCase(src, LayerType::layer_norm, width, 0.0);
                    if (variant == 1) c.cfg.layer_norm.eps = 0.0f;
                    std::vector<float> x = src.vec(rows * stride, variant == 2 ? 0.05 : 0.0);
                    if (variant == 1 && width != 0)  // some constant rows: 0 / 0
                        for (size_t r = 0; r < rows; r += 2) std::fill_n(x.begin() + r * stride, width, 2.0f);
                    std::vector<float> want(x), got(rows * stride + 1, kSentinel);
                    for (size_t r = 0; r < rows; ++r)
                        runLayer(c.layer(want.data() + r * stride, width),
                                 Slice<const float>{x.data() + r * stride, width});
                    Layer l = c.layer(got.data(), width);
                    runLayerNormRows(l, x.data(), got.data(), rows, width, stride);
                    for (size_t r = 0; r < rows; ++r) {
                        ASSERT_TRUE(sameBits(want.data() + r * stride, got.data() + r * stride, width))
                            << rows << " rows of " << width << ", stride " << stride << ", row " << r;
                        for (size_t g = width; g < stride; ++g)
                            ASSERT_EQ(bitsOf(got[r * stride + g]), bitsOf(kSentinel)) << "wrote between the rows";
                    }
                    ASSERT_EQ(bitsOf(got.back()), bitsOf(kSentinel)) << "wrote past the rows";
                    runLayerNormRows(l, x.data(), x.data(), rows, width, stride);
                    ASSERT_TRUE(sameBits(want.data(), x.data(), want.size())) << rows << " rows of " << width << " in place";
                }
}

}  // namespace
