// The fully connected kernel on every implementation: bit-for-bit equal to
// the scalar reference over sizes around every vector and group width, and
// the worked orderings that make the order of additions observable.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "algorithm/algorithm.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

constexpr float kSentinel = 12345.0f;

struct LinearCase {
    std::vector<float> weights, biases, input;
    size_t out = 0;

    Layer layer(float* out_buf) const {
        Layer l;
        l.out_buf = {out_buf, out};
        l.cfg.type = LayerType::linear;
        l.cfg.linear = Linear{weights.data(), biases.data()};
        return l;
    }
    Slice<const float> in() const { return {input.data(), input.size()}; }
};

LinearCase randomCase(FloatSource& src, size_t in, size_t out, double special) {
    LinearCase c;
    c.out = out;
    c.weights = src.vec(in * out, special);
    c.biases = src.vec(out, special);
    c.input = src.vec(in, special);
    return c;
}

// Runs the kernel into a NaN-filled buffer with a sentinel behind it and
// compares with the reference.
::testing::AssertionResult matchesReference(const LinearCase& c) {
    std::vector<float> got(c.out + 1, std::numeric_limits<float>::quiet_NaN());
    got[c.out] = kSentinel;
    runLayer(c.layer(got.data()), c.in());
    if (bitsOf(got[c.out]) != bitsOf(kSentinel)) return ::testing::AssertionFailure() << "wrote past the output";
    std::vector<float> want(c.out);
    referenceLayer(c.layer(got.data()), c.in(), want.data());
    return sameBits(want.data(), got.data(), c.out);
}

class LinearKernel : public KernelPath {};
TOLVEX_ON_EVERY_KERNEL_PATH(LinearKernel);

TEST_P(LinearKernel, MatchesReferenceForEveryShape) {
    FloatSource src(1);
    for (size_t in : kernelSizes())
        for (size_t out : kernelSizes()) {
            if (in * out > 40000 && (in + out) % 3 != 0) continue;  // keep the large corner sparse
            ASSERT_TRUE(matchesReference(randomCase(src, in, out, 0.0))) << in << " -> " << out;
        }
}

TEST_P(LinearKernel, SpecialValuesPropagateLikeTheReference) {
    FloatSource src(2);
    for (size_t in : {1, 15, 16, 17, 33, 64, 67})
        for (size_t out : {1, 7, 8, 9, 20, 33})
            for (int rep = 0; rep < 4; ++rep)
                ASSERT_TRUE(matchesReference(randomCase(src, in, out, 0.02))) << in << " -> " << out;
}

TEST_P(LinearKernel, NanOrInfinityTimesZeroPoisonsOnlyItsNeuron) {
    FloatSource src(3);
    LinearCase c = randomCase(src, 40, 20, 0.0);
    c.weights[3 * 40 + 7] = std::numeric_limits<float>::quiet_NaN();   // neuron 3, vector part
    c.weights[5 * 40 + 38] = std::numeric_limits<float>::infinity();   // neuron 5, tail
    c.input[38] = 0.0f;
    c.biases[11] = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> got(20);
    runLayer(c.layer(got.data()), c.in());
    for (size_t n = 0; n < 20; ++n) EXPECT_EQ(std::isnan(got[n]), n == 3 || n == 5 || n == 11) << n;
    EXPECT_TRUE(matchesReference(c));
}

TEST_P(LinearKernel, LaneSumsAreAddedToTheBiasAsOneTerm) {
    // One by one, each +1.0 would be lost against 1e8; summed first it is 16.
    LinearCase c{std::vector<float>(16, 1.0f), {1.0e8f}, std::vector<float>(16, 1.0f), 1};
    float got = 0.0f;
    runLayer(c.layer(&got), c.in());
    EXPECT_EQ(got, 100000016.0f);
}

TEST_P(LinearKernel, TailComesAfterBiasAndLaneSum) {
    // (1e8 + 4) rounds back to 1e8 before the tail's -1e8 arrives: +0.0.
    // Adding the tail to the bias first would leave 4.
    std::vector<float> w(16, 0.25f);
    w.push_back(-1.0e8f);
    LinearCase c{w, {1.0e8f}, std::vector<float>(17, 1.0f), 1};
    float got = -1.0f;
    runLayer(c.layer(&got), c.in());
    EXPECT_EQ(bitsOf(got), bitsOf(0.0f));
}

TEST_P(LinearKernel, ShortInputIsBiasThenProductsInOrder) {
    const std::vector<float> x = {3.0f, -1.0e-3f, 7.5e6f, 0.1f, -2.0f};
    std::vector<float> w = {0.5f, 3.3f, 1.1f, -7.0f, 0.3f, 1.0f, 1.0f, -1.0f, 2.0f, 1.0e-7f};
    LinearCase c{w, {1.0e7f, -0.0f}, x, 2};
    float got[2];
    runLayer(c.layer(got), c.in());
    for (size_t n = 0; n < 2; ++n) {
        volatile float v = c.biases[n] + 0.0f;
        for (size_t j = 0; j < 5; ++j) {
            volatile float p = x[j] * w[n * 5 + j];
            v = v + p;
        }
        EXPECT_EQ(bitsOf(got[n]), bitsOf(v)) << n;
    }
}

TEST_P(LinearKernel, EmptyInputTurnsNegativeZeroBiasPositive) {
    LinearCase c{{}, {-0.0f, 2.5f, -0.0f}, {}, 3};
    float got[3] = {-1.0f, -1.0f, -1.0f};
    runLayer(c.layer(got), c.in());
    EXPECT_EQ(bitsOf(got[0]), bitsOf(0.0f));
    EXPECT_EQ(got[1], 2.5f);
    EXPECT_EQ(bitsOf(got[2]), bitsOf(0.0f));
}

TEST_P(LinearKernel, AllZeroProductsAndNegativeZeroBiasGivePositiveZero) {
    // Every lane sum starts at +0.0, so -0.0 products leave +0.0 and the
    // bias -0.0 plus +0.0 is +0.0; a lane seeded with its first product
    // instead would end at -0.0. Sizes reach the L1-sized and streaming paths
    // and every weight offset within a cache line.
    for (size_t in : {5, 16, 48, 67})
        for (size_t offset = 0; offset < 16; ++offset) {
            const size_t out = in == 48 ? 400 : 20;
            std::vector<float> wbuf(in * out + 32, -0.0f), bias(out, -0.0f), x(in, 1.0f);
            float* w = wbuf.data() + (16 - (reinterpret_cast<uintptr_t>(wbuf.data()) % 64) / 4) + offset;
            std::vector<float> got(out, -1.0f);
            Layer l;
            l.cfg.type = LayerType::linear;
            l.cfg.linear = Linear{w, bias.data()};
            l.out_buf = {got.data(), out};
            runLayer(l, Slice<const float>{x.data(), in});
            for (size_t n = 0; n < out; ++n)
                ASSERT_EQ(bitsOf(got[n]), bitsOf(0.0f)) << in << " inputs, offset " << offset << ", neuron " << n;
        }
}

TEST_P(LinearKernel, EmptyLayerWritesNothing) {
    FloatSource src(4);
    LinearCase c = randomCase(src, 17, 0, 0.0);
    float guard = kSentinel;
    runLayer(c.layer(&guard), c.in());
    EXPECT_EQ(guard, kSentinel);
}

TEST_P(LinearKernel, TwentyOutputsWriteExactlyTwenty) {
    FloatSource src(5);
    EXPECT_TRUE(matchesReference(randomCase(src, 33, 20, 0.0)));
    EXPECT_TRUE(matchesReference(randomCase(src, 16, 20, 0.0)));
}

TEST_P(LinearKernel, AnyAlignmentOfWeightsAndInput) {
    // Large enough to leave L1, where kernels may switch to aligned reading;
    // every float offset from a cache line, with row lengths that keep the

    FloatSource src(7);
    for (size_t in : {48, 53})
        for (size_t offset = 0; offset < 16; ++offset) {
            const LinearCase c = randomCase(src, in, 400, 0.001);
            std::vector<float> wbuf(c.weights.size() + 16 + 16), xbuf(c.input.size() + 4);
            float* w = wbuf.data() + (16 - (reinterpret_cast<uintptr_t>(wbuf.data()) % 64) / 4) + offset;
            std::copy(c.weights.begin(), c.weights.end(), w);
            float* x = xbuf.data() + offset % 4;
            std::copy(c.input.begin(), c.input.end(), x);

            std::vector<float> got(c.out, std::numeric_limits<float>::quiet_NaN()), want(c.out);
            Layer l = c.layer(got.data());
            l.cfg.linear.weights = w;
            runLayer(l, Slice<const float>{x, in});
            referenceLayer(c.layer(got.data()), c.in(), want.data());
            ASSERT_TRUE(sameBits(want.data(), got.data(), c.out)) << in << " inputs, offset " << offset;
        }
}

TEST(LinearKernelPaths, AgreeWithEachOtherOnLargeLayer) {
    FloatSource src(6);
    LinearCase c = randomCase(src, 1031, 77, 0.001);
    std::vector<float> first;
    for (const KernelTable* t : availableImplementations()) {
        forceImplementation(t);
        std::vector<float> got(77);
        runLayer(c.layer(got.data()), c.in());
        if (first.empty())
            first = got;
        else
            EXPECT_TRUE(sameBits(first.data(), got.data(), 77)) << t->name;
    }
    forceImplementation(nullptr);
}

}  // namespace
