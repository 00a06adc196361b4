// Many samples per call, the checked input length, and inputs that overlap
// the model's own buffers, through the exported functions: every batched
// output bit equals the single pass's for the same sample, on every kernel
// path; a wrong length reads nothing and gives canonical NaNs; an input fed
// back from the output buffer computes what a copy of it would.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/model.hpp"
#include "support/test_allocators.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

constexpr uint32_t kCanonical = 0x7fc00000u;
// What the output arrays hold before a call: a NaN no pass produces.
constexpr uint32_t kUnwritten = 0x7fc0beefu;

float floatOf(uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// A model made through the exported builder (after any forced kernel path,
// whose packed weights it then carries).
struct Net {
    tolvex_model* h = nullptr;
    explicit Net(const RandomModel& rm) {
        tolvex_model_definition* def = nullptr;
        EXPECT_EQ(defineRandomModel(rm, &def), tolvex_Success);
        EXPECT_EQ(tolvex_create(&h, def), tolvex_Success);
        tolvex_free_model_definition(def);
    }
    ~Net() { tolvex_free_model(h); }
    uint32_t in() const { return tolvex_get_input_len(h); }
    uint32_t out() const { return tolvex_get_output_len(h); }
    // One single pass on n floats at x, its output copied out.
    std::vector<float> single(const float* x, uint32_t n) const {
        tolvex_forward_pass(h, x, n);
        const float* y = tolvex_get_output_buffer(h);
        return std::vector<float>(y, y + out());
    }
};

// A model of the given layers over random parameters.
RandomModel modelOf(uint32_t input_size, std::vector<std::pair<LayerType, uint32_t>> layers, uint32_t seed) {
    FloatSource src(seed);
    RandomModel m;
    m.input_size = input_size;
    m.arrays.reserve(2 * layers.size());
    uint32_t prev = input_size;
    for (auto [type, size] : layers) {
        LayerDefinition d;
        d.cfg.type = type;
        d.size = size;
        if (type == LayerType::linear) {
            d.cfg.linear.weights = m.keep(src.vec(size_t{size} * prev, 0.0));
            d.cfg.linear.biases = m.keep(src.vec(size, 0.0));
        }
        m.defs.push_back(d);
        prev = size;
    }
    return m;
}

::testing::AssertionResult sameBitsExactly(const float* expected, const float* actual, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (bitsOf(expected[i]) != bitsOf(actual[i]))
            return ::testing::AssertionFailure() << "value " << i << ": expected " << describe(expected[i])
                                                 << ", got " << describe(actual[i]);
    return ::testing::AssertionSuccess();
}

// The expected rows of a batch: one single pass per input row.
std::vector<float> singlePasses(const Net& net, const std::vector<float>& input, uint32_t count) {
    std::vector<float> rows;
    for (uint32_t k = 0; k < count; ++k) {
        std::vector<float> y = net.single(input.data() + size_t{k} * net.in(), net.in());
        rows.insert(rows.end(), y.begin(), y.end());
    }
    return rows;
}

// ------------------------------------------------------------------ paths

class BatchPaths : public KernelPath {};
TOLVEX_ON_EVERY_KERNEL_PATH(BatchPaths);

TEST_P(BatchPaths, EveryBatchedOutputHasTheBitsOfItsSinglePass) {
    const uint32_t kCounts[] = {0, 1, 2, 3, 7, 8, 9, 63, 64, 65, 257};
    FloatSource src(16);
    std::set<LayerType> types;
    for (uint32_t count : kCounts) {
        for (int rep = 0; rep < 8; ++rep) {
            const RandomModel rm = randomModel(src);
            for (const LayerDefinition& d : rm.defs) types.insert(d.cfg.type);
            Net net(rm);
            const uint32_t in = net.in(), out = net.out();
            ASSERT_EQ(in, rm.input_size);
            std::vector<float> input = src.vec(size_t{count} * in, 0.01);
            const std::vector<float> kept = input;
            // The output array, pre-filled, with one guard value past its end.
            std::vector<float> batch(size_t{count} * out + 1, floatOf(kUnwritten));
            tolvex_forward_batch(net.h, input.data(), in, count, batch.data());
            EXPECT_EQ(bitsOf(batch.back()), kUnwritten) << "written past the end, batch of " << count;
            EXPECT_TRUE(sameBitsExactly(kept.data(), input.data(), input.size())) << "the input was written";
            const std::vector<float> want = singlePasses(net, input, count);
            ASSERT_TRUE(sameBitsExactly(want.data(), batch.data(), want.size()))
                << "batch of " << count << ", model " << rep << " (" << rm.defs.size() << " layers, " << in
                << " -> " << out << ")";
        }
    }
    EXPECT_EQ(types.size(), size_t{kLayerTypeCount}) << "not every layer type was run";
}

// Rows a multiple of 1 KiB long are kept further apart inside a batch (and
// the caller's input rows copied so): the same bits, layers of every kind
// over such rows, several tiles of inputs, and such a model whose first
// layer is not linear.
TEST_P(BatchPaths, RowsOfAKibibyteMultipleHaveTheBitsOfSinglePasses) {
    FloatSource src(17);
    for (uint32_t in : {256u, 512u})
        for (LayerType act : {LayerType::layer_norm, LayerType::tanh, LayerType::clip}) {
            RandomModel rm = modelOf(in, {{LayerType::linear, 512}, {act, 512}, {LayerType::linear, 256}, {act, 256}}, 18);
            for (LayerDefinition& d : rm.defs) {
                if (d.cfg.type == LayerType::layer_norm)
                    d.cfg.layer_norm = {rm.keep(src.vec(d.size, 0.0)), rm.keep(src.vec(d.size, 0.0)), 1e-5f};
                if (d.cfg.type == LayerType::clip) d.cfg.clip = {-0.25f, 0.5f};
            }
            Net net(rm);
            const uint32_t count = 192;  // a tile and a half of 128, six of 32
            const std::vector<float> input = src.vec(size_t{count} * in, 0.01);
            std::vector<float> batch(size_t{count} * net.out());
            tolvex_forward_batch(net.h, input.data(), in, count, batch.data());
            const std::vector<float> want = singlePasses(net, input, count);
            ASSERT_TRUE(sameBitsExactly(want.data(), batch.data(), want.size()))
                << in << " inputs, " << layerTypeToStr(act);
        }
    // A first layer that is not linear, over such rows straight from the
    // caller's array.
    for (uint32_t in : {256u, 1024u})
        for (LayerType first : {LayerType::sigmoid, LayerType::layer_norm}) {
            RandomModel rm = modelOf(in, {{first, in}, {LayerType::relu, in}, {LayerType::linear, 40}}, 19);
            if (first == LayerType::layer_norm)
                rm.defs[0].cfg.layer_norm = {rm.keep(src.vec(in, 0.0)), rm.keep(src.vec(in, 0.0)), 1e-5f};
            Net net(rm);
            for (uint32_t count : {2u, 3u, 33u}) {
                const std::vector<float> input = src.vec(size_t{count} * in, 0.01);
                std::vector<float> batch(size_t{count} * net.out());
                tolvex_forward_batch(net.h, input.data(), in, count, batch.data());
                const std::vector<float> want = singlePasses(net, input, count);
                ASSERT_TRUE(sameBitsExactly(want.data(), batch.data(), want.size()))
                    << in << " inputs, first " << layerTypeToStr(first) << ", batch of " << count;
            }
        }
}

// Sums of signed zeros: products of -0.0 only (+0.0 inputs, negative
// weights) with biases of -0.0 sum to +0.0 in a single pass, whose lane sums
// start from +0.0; a batch that skips that start must give the same. Rows
// of no whole chunk, of one, of two and with a tail; some inputs nonzero,
// some rows of zero weights.
TEST_P(BatchPaths, SumsOfSignedZerosHaveTheBitsOfSinglePasses) {
    FloatSource src(20);
    for (uint32_t in : {3u, 16u, 32u, 35u, 67u}) {
        RandomModel rm = modelOf(in, {{LayerType::linear, 37}}, 21);
        std::vector<float> w = src.vec(size_t{37} * in, 0.0), b(37, -0.0f);
        for (size_t i = 0; i < w.size(); ++i) w[i] = i % 5 == 0 ? -0.0f : -std::fabs(w[i]) - 1e-3f;
        for (size_t n = 0; n < 37; n += 7) std::fill_n(w.begin() + n * in, in, 0.0f);
        rm.defs[0].cfg.linear = {rm.keep(w), rm.keep(b)};
        Net net(rm);
        const uint32_t count = 9;
        std::vector<float> input(size_t{count} * in, 0.0f);
        for (uint32_t k = 4; k < count; ++k) input[size_t{k} * in + k % in] = k % 2 ? -0.0f : 1.5f;
        std::vector<float> batch(size_t{count} * net.out());
        tolvex_forward_batch(net.h, input.data(), in, count, batch.data());
        const std::vector<float> want = singlePasses(net, input, count);
        ASSERT_TRUE(sameBitsExactly(want.data(), batch.data(), want.size())) << in << " inputs";
    }
}

// -------------------------------------------------------------- arrays

// One array for inputs and outputs, as memmove allows it: the samples run in
// the direction that leaves every input row untouched until it has run.
TEST(BatchArrays, OverlappingArraysGiveTheSeparateResults) {
    struct Case {
        const char* what;
        uint32_t in, out;
        size_t input_at, output_at;  // offsets in the shared array
    };
    const Case cases[] = {
        {"in place, shorter rows", 6, 4, 0, 0},     {"in place, equal rows", 5, 5, 0, 0},
        {"in place, longer rows", 4, 6, 0, 0},      {"output below the input", 5, 5, 3, 0},
        {"output below, shorter rows", 7, 3, 2, 0}, {"output above the input", 5, 5, 0, 3},
        {"output above, longer rows", 3, 8, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Net net(modelOf(c.in, {{LayerType::linear, c.out}, {LayerType::tanh, c.out}}, 7));
        for (uint32_t count : {1u, 2u, 9u, 33u}) {
            FloatSource src(count);
            const std::vector<float> input = src.vec(size_t{count} * c.in, 0.0);
            const std::vector<float> want = singlePasses(net, input, count);
            std::vector<float> shared(std::max(c.input_at + input.size(), c.output_at + want.size()) + 1,
                                      floatOf(kUnwritten));
            std::copy(input.begin(), input.end(), shared.begin() + static_cast<ptrdiff_t>(c.input_at));
            tolvex_forward_batch(net.h, shared.data() + c.input_at, c.in, count, shared.data() + c.output_at);
            EXPECT_TRUE(sameBitsExactly(want.data(), shared.data() + c.output_at, want.size())) << count;
            EXPECT_EQ(bitsOf(shared.back()), kUnwritten);
        }
    }
}

// The model's own output buffer may be a batch's one input row.
TEST(BatchArrays, TheOutputBufferAsInput) {
    Net net(modelOf(64, {{LayerType::linear, 64}, {LayerType::relu, 64}}, 8));
    FloatSource src(3);
    const std::vector<float> x = src.vec(64, 0.0);
    const std::vector<float> y = net.single(x.data(), 64);
    const std::vector<float> want = net.single(y.data(), 64);
    (void)net.single(x.data(), 64);  // the buffer holds y again
    std::vector<float> got(64);
    tolvex_forward_batch(net.h, tolvex_get_output_buffer(net.h), 64, 1, got.data());
    EXPECT_TRUE(sameBitsExactly(want.data(), got.data(), 64));
}

// A batch of one may write its row into the model's own output buffer: the
// row's NaNs are made canonical there as in a single pass.
TEST(BatchArrays, OneRowIntoTheOutputBuffer) {
    Net net(modelOf(6, {{LayerType::linear, 20}, {LayerType::sigmoid, 20}}, 10));
    FloatSource src(5);
    std::vector<float> x = src.vec(6, 0.0);
    x[2] = floatOf(0xffc00123u);  // a NaN that every output inherits, payload and all on some paths
    const std::vector<float> want = net.single(x.data(), 6);
    for (float v : want) ASSERT_EQ(bitsOf(v), kCanonical);
    (void)net.single(src.vec(6, 0.0).data(), 6);
    float* own = const_cast<float*>(tolvex_get_output_buffer(net.h));
    tolvex_forward_batch(net.h, x.data(), 6, 1, own);
    EXPECT_TRUE(sameBitsExactly(want.data(), own, want.size()));
}

// ---------------------------------------------------------- checked length

// A page that cannot be read: a call that touched its input there would die.
class Unreadable {
   public:
    Unreadable() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        p_ = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    ~Unreadable() { munmap(p_, size_); }
    const float* floats() const { return static_cast<const float*>(p_); }

   private:
    size_t size_;
    void* p_;
};

TEST(CheckedLength, WrongLengthsReadNothingAndGiveCanonicalNaNs) {
    Unreadable page;
    ASSERT_NE(page.floats(), MAP_FAILED);
    Net net(modelOf(8, {{LayerType::linear, 5}, {LayerType::sigmoid, 5}}, 9));
    FloatSource src(4);
    const std::vector<float> x = src.vec(8, 0.0);
    const std::vector<float> want = net.single(x.data(), 8);
    for (uint32_t len : {0u, 1u, 7u, 9u, 16u, 0xffffffffu}) {
        SCOPED_TRACE(len);
        tolvex_forward_pass(net.h, page.floats(), len);
        const float* y = tolvex_get_output_buffer(net.h);
        for (uint32_t i = 0; i < net.out(); ++i) EXPECT_EQ(bitsOf(y[i]), kCanonical) << i;

        for (uint32_t count : {1u, 3u, 64u}) {
            std::vector<float> batch(size_t{count} * net.out() + 1, floatOf(kUnwritten));
            tolvex_forward_batch(net.h, page.floats(), len, count, batch.data());
            for (size_t i = 0; i + 1 < batch.size(); ++i) ASSERT_EQ(bitsOf(batch[i]), kCanonical) << i;
            EXPECT_EQ(bitsOf(batch.back()), kUnwritten);
        }
        // A batch of no samples writes nothing, whatever the length.
        float guard = floatOf(kUnwritten);
        tolvex_forward_batch(net.h, page.floats(), len, 0, &guard);
        EXPECT_EQ(bitsOf(guard), kUnwritten);
        // And the model works on as before.
        EXPECT_TRUE(sameBitsExactly(want.data(), net.single(x.data(), 8).data(), want.size()));
    }
}

// Inputs of exactly the given length, on the heap: under AddressSanitizer a
// read past one, or of the weights past their end, is a report.
TEST(CheckedLength, ShorterAndLongerHeapInputs) {
    for (uint32_t in : {0u, 1u, 16u, 33u}) {
        Net net(modelOf(in, {{LayerType::linear, 17}, {LayerType::elu, 17}, {LayerType::linear, 3}}, in));
        for (uint32_t len : {in + 1, in * 2 + 1, in / 2}) {
            if (len == in) continue;
            std::vector<float> x(len, 1.0f);
            tolvex_forward_pass(net.h, x.data(), len);
            const float* y = tolvex_get_output_buffer(net.h);
            for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(bitsOf(y[i]), kCanonical) << in << " " << len;
        }
    }
}

// Empty rows may come as null pointers: a model of no outputs writes
// nothing, and one of no inputs reads nothing (its outputs are its biases).
TEST(CheckedLength, EmptyRowsThroughNullPointers) {
    Net none(modelOf(0, {{LayerType::linear, 0}}, 1));
    ASSERT_EQ(none.out(), 0u);
    for (uint32_t count : {1u, 2u, 40u}) tolvex_forward_batch(none.h, nullptr, 0, count, nullptr);

    Net biases(modelOf(0, {{LayerType::linear, 0}, {LayerType::linear, 3}, {LayerType::tanh, 3}}, 2));
    const std::vector<float> want = biases.single(nullptr, 0);
    for (uint32_t count : {1u, 2u, 40u}) {
        std::vector<float> y(size_t{count} * 3);
        tolvex_forward_batch(biases.h, nullptr, 0, count, y.data());
        for (uint32_t k = 0; k < count; ++k) ASSERT_TRUE(sameBitsExactly(want.data(), y.data() + k * 3, 3)) << k;
    }
}

// --------------------------------------------------------- fed-back input

// The pass's result on `input` equals its result on a copy of it.
void expectSameAsCopy(const Net& net, const float* input) {
    const std::vector<float> copy(input, input + net.in());
    const std::vector<float> aliased = net.single(input, net.in());
    const std::vector<float> want = net.single(copy.data(), net.in());
    EXPECT_TRUE(sameBitsExactly(want.data(), aliased.data(), want.size()));
}

TEST(FedBackInput, TheOutputBufferFedBackComputesLikeACopy) {
    struct Case {
        const char* what;
        uint32_t in;
        std::vector<std::pair<LayerType, uint32_t>> layers;
    };
    const Case cases[] = {
        // The first layer writes the very buffer it reads.
        {"one 1000 x 1000 linear layer", 1000, {{LayerType::linear, 1000}}},
        {"linear then tanh", 40, {{LayerType::linear, 40}, {LayerType::tanh, 40}}},
        // Element-wise in place on its own buffer: safe without a copy.
        {"relu first", 40, {{LayerType::relu, 40}, {LayerType::sigmoid, 40}}},
        {"layer_norm first", 40, {{LayerType::layer_norm, 40}}},
        // The output buffer is not the first layer's: no overlap at all.
        {"two linear layers", 40, {{LayerType::linear, 40}, {LayerType::linear, 40}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RandomModel rm = modelOf(c.in, c.layers, 11);
        for (LayerDefinition& d : rm.defs)
            if (d.cfg.type == LayerType::layer_norm)
                d.cfg.layer_norm = {rm.keep(std::vector<float>(d.size, 1.5f)),
                                    rm.keep(std::vector<float>(d.size, 0.25f)), 1e-5f};
        Net net(rm);
        FloatSource src(5);
        const std::vector<float> x = src.vec(c.in, 0.0);
        (void)net.single(x.data(), c.in);
        for (int step = 0; step < 3; ++step) expectSameAsCopy(net, tolvex_get_output_buffer(net.h));
    }
}

TEST(FedBackInput, PartOfTheFirstLayersBuffer) {
    // linear 64 -> 256: an input of 64 floats anywhere inside the output.
    Net net(modelOf(64, {{LayerType::linear, 256}}, 12));
    FloatSource src(6);
    const std::vector<float> x = src.vec(64, 0.0);
    for (size_t at : {0u, 1u, 100u, 192u}) {
        (void)net.single(x.data(), 64);
        expectSameAsCopy(net, tolvex_get_output_buffer(net.h) + at);
    }
}

// An element-wise first layer whose input starts inside its buffer, but not
// at its start, would read values it has already replaced. Only the internal
// interface can lay a buffer out that way: layer 0's buffer is moved into a
// larger array for the test.
TEST(FedBackInput, ElementwiseFirstLayerOnAShiftedInput) {
    CountingAllocator counter;
    for (LayerType type : {LayerType::relu, LayerType::tanh, LayerType::layer_norm}) {
        SCOPED_TRACE(layerTypeToStr(type));
        std::vector<float> ln_w(8, 2.0f), ln_b(8, -1.0f);
        LayerDefinition d;
        d.cfg.type = type;
        d.cfg.layer_norm = {ln_w.data(), ln_b.data(), 1e-5f};
        d.size = 8;
        auto model = create(counter.get(), {&d, 1}, 8);
        ASSERT_TRUE(model);
        Slice<float> own = model->layers[0].out_buf;
        std::vector<float> big(24);
        for (int shift : {-3, 3}) {
            FloatSource src(static_cast<uint32_t>(shift + 10));
            const std::vector<float> values = src.vec(16, 0.0);
            std::copy(values.begin(), values.end(), big.begin() + 4);
            model->layers[0].out_buf = {big.data() + 8, 8};
            const std::vector<float> copy(big.data() + 8 + shift, big.data() + 16 + shift);
            forwardPass(*model, {big.data() + 8 + shift, 8});
            const std::vector<float> aliased(big.data() + 8, big.data() + 16);
            model->layers[0].out_buf = own;
            forwardPass(*model, {copy.data(), 8});
            EXPECT_TRUE(sameBitsExactly(own.ptr, aliased.data(), 8)) << "shift " << shift;
        }
        deinit(*model);
    }
    EXPECT_EQ(counter.liveBlocks(), 0u);
}

}  // namespace
