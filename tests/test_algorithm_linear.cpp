// The fully connected kernel on every implementation: bit-for-bit equal to
// the scalar reference over sizes around every vector and group width, and
// the worked orderings that make the order of additions observable.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>

#include "algorithm/algorithm.hpp"
#include "common/model.hpp"
#include "support/test_allocators.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

constexpr float kSentinel = 12345.0f;

// The packed copy of a layer in the layout the active implementation reads,
// or an empty one when it reads none.
Result<PackedLinear> packForActive(Allocator a, const Layer& layer, size_t row_len) {
    const PackedLayout* layout = activeImplementation().packing;
    if (layout == nullptr) return PackedLinear{};
    return layout->pack(a, layer, row_len);
}

// Whether the running test gives its layers a packed copy of the weights (the
// layout the vector kernels use for small layers) or only the row-major one.
bool g_packed = false;

// A packed copy owned by a test; empty when the layer gets none.
class PackedHolder {
public:
    PackedHolder() = default;
    PackedHolder(const PackedHolder&) {}
    PackedHolder& operator=(const PackedHolder&) { return *this; }
    ~PackedHolder() { reset(); }

    // Gives `layer` (with rows of row_len inputs) a packed copy when the test
    // runs packed and the layer is small enough for one.
    void attach(Layer& layer, size_t row_len) {
        reset();
        if (!g_packed) return;
        Result<PackedLinear> made = packForActive(alloc_.get(), layer, row_len);
        EXPECT_TRUE(made.has_value());
        packed_ = made.value_or(PackedLinear{});
        layer.packed = packed_;
    }

private:
    void reset() {
        freePacked(alloc_.get(), packed_);
        packed_ = {};
        EXPECT_EQ(alloc_.liveBlocks(), 0u);
        EXPECT_EQ(alloc_.badFrees(), 0u);
    }
    CountingAllocator alloc_;
    PackedLinear packed_;
};

struct LinearCase {
    std::vector<float> weights, biases, input;
    size_t out = 0;
    mutable PackedHolder packed{};

    Layer layer(float* out_buf) const {
        Layer l;
        l.out_buf = {out_buf, out};
        l.cfg.type = LayerType::linear;
        l.cfg.linear = Linear{weights.data(), biases.data()};
        packed.attach(l, input.size());
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

// Runs the same layer twice, so that the groups of neurons are visited in both
// orders (each pass flips the next one's), each time into a NaN-filled buffer
// with a sentinel behind it, and compares both passes with the reference.
::testing::AssertionResult matchesReference(const LinearCase& c) {
    std::vector<float> got(c.out + 1), want(c.out);
    const Layer layer = c.layer(got.data());
    referenceLayer(layer, c.in(), want.data());
    for (int pass = 0; pass < 2; ++pass) {
        std::fill(got.begin(), got.end(), std::numeric_limits<float>::quiet_NaN());
        got[c.out] = kSentinel;
        runLayer(layer, c.in());
        if (bitsOf(got[c.out]) != bitsOf(kSentinel))
            return ::testing::AssertionFailure() << "wrote past the output on pass " << pass;
        ::testing::AssertionResult same = sameBits(want.data(), got.data(), c.out);
        if (!same) return same << " on pass " << pass;
    }
    if (layer.descending) return ::testing::AssertionFailure() << "two passes left the group order flipped";
    return ::testing::AssertionSuccess();
}

// Every test runs on every kernel table, once with the row-major weights only
// and once with a packed copy beside them.
class LinearKernel : public ::testing::TestWithParam<std::tuple<const KernelTable*, bool>> {
protected:
    void SetUp() override {
        forceImplementation(std::get<0>(GetParam()));
        g_packed = std::get<1>(GetParam());
    }
    void TearDown() override {
        forceImplementation(nullptr);
        g_packed = false;
    }
};
INSTANTIATE_TEST_SUITE_P(Paths, LinearKernel, ::testing::Combine(::testing::ValuesIn(kernelPaths()), ::testing::Bool()),
                         [](const auto& p) {
                             return std::string(std::get<0>(p.param)->name) +
                                    (std::get<1>(p.param) ? "_packed" : "_rowmajor");
                         });

TEST_P(LinearKernel, MatchesReferenceForEveryShape) {
    FloatSource src(1);
    for (size_t in : kernelSizes())
        for (size_t out : kernelSizes()) {
            if (in * out > 40000 && (in + out) % 3 != 0) continue;  // keep the large corner sparse
            ASSERT_TRUE(matchesReference(randomCase(src, in, out, 0.0))) << in << " -> " << out;
        }
}

TEST_P(LinearKernel, LayersBeyondL1MatchReferenceInEveryTileShape) {
    // Packed, these have tiles of 1 to 4 groups, short last groups, tail
    // rows, and (10 inputs) no whole chunk at all.
    FloatSource src(10);
    for (auto [in, out] : {std::pair<size_t, size_t>{33, 520}, {130, 150}, {2048, 20}, {17, 1000}, {400, 45},
                           {10, 2000}, {256, 512}})
        ASSERT_TRUE(matchesReference(randomCase(src, in, out, 0.001))) << in << " -> " << out;
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
            PackedHolder packed;
            packed.attach(l, in);
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

            std::vector<float> got(c.out), want(c.out);
            Layer l = c.layer(got.data());
            l.cfg.linear.weights = w;
            referenceLayer(l, Slice<const float>{x, in}, want.data());
            for (int pass = 0; pass < 2; ++pass) {  // both group orders
                std::fill(got.begin(), got.end(), std::numeric_limits<float>::quiet_NaN());
                runLayer(l, Slice<const float>{x, in});
                ASSERT_TRUE(sameBits(want.data(), got.data(), c.out)) << in << " inputs, offset " << offset << ", pass " << pass;
            }
        }
}

// The kernel for many inputs: every row has the bits of the single-input
// kernel for that row, for blocks of every size and a short last block, on
// strided rows; the gaps between the output rows stay untouched.
TEST_P(LinearKernel, BatchGivesEveryRowTheBitsOfASinglePass) {
    FloatSource src(11);
    struct Shape {
        size_t in, out;
    };
    const Shape shapes[] = {{0, 5},  {1, 1},   {5, 17},  {16, 16},  {17, 9},    {31, 33},  {32, 64},
                            {48, 8}, {67, 131}, {131, 29}, {33, 520}, {130, 150}, {600, 300}, {2048, 20}};
    for (const Shape& sh : shapes)
        for (size_t count : {1, 2, 3, 4, 5, 7, 8, 13}) {
            if (sh.in * sh.out > 40000 && count > 5) continue;
            const LinearCase c = randomCase(src, sh.in, sh.out, 0.001);
            const size_t xs = sh.in + 3, ys = sh.out + 2;
            std::vector<float> x(count * xs);
            for (float& f : x) f = src.next(0.001);
            std::vector<float> y(count * ys, kSentinel), one(sh.out);
            Layer l = c.layer(one.data());
            runLinearBatch(l, x.data(), xs, sh.in, count, y.data(), ys);
            for (size_t s = 0; s < count; ++s) {
                runLayer(l, Slice<const float>{x.data() + s * xs, sh.in});
                ASSERT_TRUE(sameBits(one.data(), y.data() + s * ys, sh.out))
                    << sh.in << " -> " << sh.out << ", " << count << " inputs, row " << s;
                for (size_t gap = sh.out; gap < ys; ++gap) ASSERT_EQ(y[s * ys + gap], kSentinel);
            }
        }
}

TEST(LinearKernelPaths, AgreeWithEachOtherOnLargeLayer) {
    FloatSource src(6);
    LinearCase c = randomCase(src, 1031, 77, 0.001);
    std::vector<float> first;
    for (bool packed : {false, true}) {
        g_packed = packed;
        for (const KernelTable* t : availableImplementations()) {
            forceImplementation(t);
            std::vector<float> got(77);
            runLayer(c.layer(got.data()), c.in());
            if (first.empty())
                first = got;
            else
                EXPECT_TRUE(sameBits(first.data(), got.data(), 77)) << t->name << (packed ? " packed" : "");
        }
    }
    g_packed = false;
    forceImplementation(nullptr);
}

TEST_P(LinearKernel, PackedCopyServesOnlyTheRowLengthItWasMadeFor) {
    // The host may pass a shorter input than the model's: the weights are then
    // read as rows of that length, which the packed copy cannot give.
    FloatSource src(8);
    LinearCase c = randomCase(src, 40, 20, 0.0);
    std::vector<float> got(20), want(20);
    for (size_t len : {0, 5, 16, 24, 39}) {
        const Slice<const float> shorter{c.input.data(), len};
        runLayer(c.layer(got.data()), shorter);
        referenceLayer(c.layer(got.data()), shorter, want.data());
        ASSERT_TRUE(sameBits(want.data(), got.data(), 20)) << len;
    }
}

TEST_P(LinearKernel, ReadsNoPackedCopyOfAnotherLayout) {
    // A copy in a layout the implementation did not choose is never read:
    // here one whose every value is NaN.
    if (activeImplementation().packing == &kGroups16) GTEST_SKIP() << "this implementation reads groups16";
    FloatSource src(10);
    LinearCase c = randomCase(src, 40, 20, 0.0);
    CountingAllocator alloc;
    std::vector<float> got(20), want(20);
    Layer l = c.layer(got.data());
    auto made = kGroups16.pack(alloc.get(), l, 40);
    ASSERT_TRUE(made.has_value());
    std::fill(made->data.begin(), made->data.end(), std::numeric_limits<float>::quiet_NaN());
    l.packed = *made;
    runLayer(l, c.in());
    referenceLayer(l, c.in(), want.data());
    EXPECT_TRUE(sameBits(want.data(), got.data(), 20));
    freePacked(alloc.get(), *made);
}

// The packed layout itself: each group of 16 rows transposed, then its
// biases; short groups padded with +0.0; groups in input order for a layer
// that stays in L1 and interleaved in tiles of four beyond it; 64-byte
// aligned; made only for layers that have weights and no more than the limit.
TEST(PackedLinear, LayoutAlignmentAndLimits) {
    CountingAllocator alloc;
    FloatSource src(9);
    for (size_t in : {1, 3, 16, 17, 40})
        for (size_t out : {1, 8, 16, 17, 40}) {
            LinearCase c = randomCase(src, in, out, 0.0);
            std::vector<float> y(out);
            Layer l = c.layer(y.data());
            auto p = kGroups16.pack(alloc.get(), l, in);
            ASSERT_TRUE(p.has_value());
            const size_t groups = (out + 15) / 16;
            ASSERT_EQ(p->data.len, groups * (in + 1) * 16);
            EXPECT_EQ(p->row_len, in);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p->data.ptr) % 64, 0u);
            for (size_t g = 0; g < groups; ++g)
                for (size_t k = 0; k < 16; ++k) {
                    const size_t n = 16 * g + k;
                    const float* blk = p->data.ptr + g * (in + 1) * 16;
                    for (size_t j = 0; j < in; ++j)
                        ASSERT_EQ(bitsOf(blk[16 * j + k]), bitsOf(n < out ? c.weights[n * in + j] : 0.0f));
                    ASSERT_EQ(bitsOf(blk[16 * in + k]), bitsOf(n < out ? c.biases[n] : 0.0f));
                }
            freePacked(alloc.get(), *p);
        }

    // A layer that leaves L1: tiles of four groups (fewer in the last), each
    // read front to back as one stream: for lanes four at a time, for each
    // chunk, for each of those lanes, the row of every group of the tile;
    // then the tail rows and the biases, likewise.
    for (auto [in, out] : {std::pair<size_t, size_t>{33, 520}, {130, 150}, {2048, 20}, {10, 2000}}) {
        LinearCase c = randomCase(src, in, out, 0.0);
        std::vector<float> y(out);
        auto p = kGroups16.pack(alloc.get(), c.layer(y.data()), in);
        ASSERT_TRUE(p.has_value());
        const size_t groups = (out + 15) / 16, chunks = in / 16;
        ASSERT_EQ(p->data.len, groups * (in + 1) * 16);
        const float* pos = p->data.ptr;
        for (size_t first = 0; first < groups; first += 4) {
            const size_t tile = std::min<size_t>(4, groups - first);
            auto expectRowSet = [&](size_t j) {
                for (size_t g = 0; g < tile; ++g, pos += 16)
                    for (size_t k = 0; k < 16; ++k) {
                        const size_t n = 16 * (first + g) + k;
                        const float want = n >= out ? 0.0f : j < in ? c.weights[n * in + j] : c.biases[n];
                        ASSERT_EQ(bitsOf(pos[k]), bitsOf(want)) << in << " -> " << out << ", row " << j;
                    }
            };
            for (size_t quarter = 0; quarter < 4; ++quarter)
                for (size_t chunk = 0; chunk < chunks; ++chunk)
                    for (size_t l = 0; l < 4; ++l) expectRowSet(16 * chunk + 4 * quarter + l);
            for (size_t j = 16 * chunks; j <= in; ++j) expectRowSet(j);
        }
        EXPECT_EQ(pos, p->data.ptr + p->data.len);
        freePacked(alloc.get(), *p);
    }

    LinearCase big{std::vector<float>(kPackedMaxWeights + 512), std::vector<float>(513), {}, 0};
    for (auto [in, out, packs] : {std::tuple{256, 512, true}, {512, 257, false}, {0, 40, false}, {40, 0, false}}) {
        std::vector<float> y(out);
        big.out = out;
        Layer l = big.layer(y.data());
        auto p = kGroups16.pack(alloc.get(), l, in);
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->data.len != 0, packs) << in << " -> " << out;
        freePacked(alloc.get(), *p);
    }
    EXPECT_EQ(alloc.liveBlocks(), 0u);
    EXPECT_EQ(alloc.badFrees(), 0u);

    alloc.failAt(1);
    LinearCase c = randomCase(src, 8, 8, 0.0);
    std::vector<float> y(8);
    auto failed = kGroups16.pack(alloc.get(), c.layer(y.data()), 8);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), Error::OutOfMemory);
    EXPECT_EQ(alloc.liveBlocks(), 0u);
}

}  // namespace
