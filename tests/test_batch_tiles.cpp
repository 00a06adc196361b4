// Many inputs through a model in tiles: every output row has the bits of a
// single pass over its input, on every implementation, for counts around the
// tile size, with outputs overlapping inputs as memmove allows.
#include <limits>

#include "algorithm/kernels.hpp"
#include "common/batch_tiles.hpp"
#include "common/model.hpp"
#include "support/test_allocators.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

class BatchTiles : public KernelPath {};
TOLVEX_ON_EVERY_KERNEL_PATH(BatchTiles);

struct Made {
    CountingAllocator counter;
    RandomModel def;
    Model model;
    std::vector<float> scratch;
};

// A random model made (and packed) on the active implementation.
void make(Made& m, FloatSource& src) {
    m.def = randomModel(src);
    auto model = create(m.counter.get(), {m.def.defs.data(), m.def.defs.size()}, m.def.input_size);
    ASSERT_TRUE(model.has_value());
    ASSERT_TRUE(packLinearLayers(*model).has_value());
    m.model = *model;
    m.scratch.assign(batchScratchFloats(m.model), std::numeric_limits<float>::quiet_NaN());
}

// The output row a single pass gives for each input row.
std::vector<float> singlePasses(const Model& model, const std::vector<float>& in, size_t count) {
    const size_t in_len = model.input_size;
    std::vector<float> want;
    for (size_t s = 0; s < count; ++s) {
        forwardPass(model, {in.data() + s * in_len, in_len});
        Slice<float> out = getOutputBuffer(model);
        want.insert(want.end(), out.begin(), out.end());
    }
    return want;
}

::testing::AssertionResult sameRows(const std::vector<float>& want, const float* got) {
    for (size_t i = 0; i < want.size(); ++i)
        if (bitsOf(want[i]) != bitsOf(got[i]))
            return ::testing::AssertionFailure()
                   << "value " << i << ": expected " << describe(want[i]) << ", got " << describe(got[i]);
    return ::testing::AssertionSuccess();
}

TEST_P(BatchTiles, EveryRowHasTheBitsOfASinglePass) {
    FloatSource src(31);
    for (int rep = 0; rep < 60; ++rep) {
        Made m;
        make(m, src);
        if (::testing::Test::HasFatalFailure()) return;
        if (m.model.layers.len == 0) continue;
        const size_t in_len = m.model.input_size, out_len = getOutputBuffer(m.model).len;
        for (size_t count : {0, 1, 2, 3, 7, 8, 9, 31, 32, 33, 65}) {
            const std::vector<float> in = src.vec(count * in_len, 0.001);
            std::vector<float> got(count * out_len + 1, std::numeric_limits<float>::quiet_NaN());
            got.back() = 12345.0f;
            forwardBatchTiles(m.model, in.data(), count, got.data(), {m.scratch.data(), m.scratch.size()});
            ASSERT_EQ(got.back(), 12345.0f) << "wrote past the last row";
            ASSERT_TRUE(sameRows(singlePasses(m.model, in, count), got.data())) << "model " << rep << ", " << count;
        }
        deinit(m.model);
        EXPECT_EQ(m.counter.liveBlocks(), 0u);
    }
}

TEST_P(BatchTiles, OutputsOverlappingInputsAsMemmoveAllows) {
    // In place, and shifted either way with rows of the matching lengths:
    // each row's output equals the single pass over its original input.
    FloatSource src(32);
    int checked = 0;
    for (int rep = 0; rep < 200 && checked < 30; ++rep) {
        Made m;
        make(m, src);
        if (::testing::Test::HasFatalFailure()) return;
        if (m.model.layers.len == 0) continue;
        const size_t in_len = m.model.input_size, out_len = getOutputBuffer(m.model).len;
        if (in_len == 0 || out_len == 0) {
            deinit(m.model);
            continue;
        }
        ++checked;
        const size_t count = 70;
        const std::vector<float> in = src.vec(count * in_len, 0.001);
        const std::vector<float> want = singlePasses(m.model, in, count);
        // Output behind the input needs rows no longer; ahead, no shorter.
        const ptrdiff_t shift = out_len <= in_len ? -3 : 5;
        std::vector<float> buf(count * std::max(in_len, out_len) + 16);
        float* x = buf.data() + 8;
        for (ptrdiff_t d : {ptrdiff_t{0}, shift}) {
            std::copy(in.begin(), in.end(), x);
            forwardBatchTiles(m.model, x, count, x + d, {m.scratch.data(), m.scratch.size()});
            ASSERT_TRUE(sameRows(want, x + d)) << "model " << rep << ", shift " << d;
        }
        deinit(m.model);
    }
    EXPECT_EQ(checked, 30);
}

}  // namespace
