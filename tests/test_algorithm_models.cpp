// Whole random models through forwardPass on every implementation, compared
// bit for bit with the reference, and the choice of implementation.
#include <bit>
#include <limits>
#include <set>
#include <string>

#include "algorithm/algorithm.hpp"
#include "algorithm/cpu.hpp"
#include "common/model.hpp"
#include "support/test_allocators.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

class ModelForward : public KernelPath {};
TOLVEX_ON_EVERY_KERNEL_PATH(ModelForward);

TEST_P(ModelForward, RandomModelsMatchReference) {
    FloatSource src(21);
    for (int rep = 0; rep < 300; ++rep) {
        CountingAllocator counter;
        RandomModel rm = randomModel(src);
        auto model = create(counter.get(), {rm.defs.data(), rm.defs.size()}, rm.input_size);
        ASSERT_TRUE(model.has_value());
        // Half the models run with the packed weights the exported makers add.
        if (rep % 2 == 1) {
            ASSERT_TRUE(packLinearLayers(*model).has_value());
        }
        const std::vector<float> input = src.vec(rm.input_size, 0.001);
        std::vector<float> host = input;
        const Slice<const float> in{host.data(), host.size()};

        const std::vector<float> want = referenceForward(*model, in);
        for (int pass = 0; pass < 2; ++pass) {
            forwardPass(*model, in);
            Slice<float> out = getOutputBuffer(*model);
            ASSERT_EQ(out.len, want.size());
            ASSERT_TRUE(sameBits(want.data(), out.ptr, out.len)) << "model " << rep << ", pass " << pass;
        }
        EXPECT_TRUE(sameBits(input.data(), host.data(), input.size())) << "input was written";
        deinit(*model);
        EXPECT_EQ(counter.liveBlocks(), 0u);
    }
}

// Whatever NaN the layers make (any sign, any payload, propagated or made
// by arithmetic), the output holds the one quiet NaN 0x7fc00000; every
// other value passes unchanged.
TEST_P(ModelForward, OutputNaNsAreCanonical) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan_a = std::bit_cast<float>(0x7fc00001u), nan_b = std::bit_cast<float>(0xffc00002u);
    const float signalling = std::bit_cast<float>(0xff800123u);
    // 1 -> linear 16: output n takes input x[0] times weight n; then the
    // activation named by `type` in place.
    for (LayerType type : {LayerType::relu6, LayerType::leaky_relu, LayerType::elu, LayerType::tanh}) {
        const std::vector<float> weights = {nan_a, nan_b, signalling, inf, -inf, 0.0f, -0.0f, 1.0f,
                                            2.0f,  -3.0f, 0.5f,       inf, nan_b, 1e30f, -1e30f, 7.0f};
        const std::vector<float> biases = {0.0f, 0.0f, 0.0f, -inf, inf, 0.0f, 0.0f, nan_a,
                                           0.0f, 0.0f, 0.0f, inf,  0.0f, 0.0f, 0.0f, -0.0f};
        std::vector<LayerDefinition> defs(2);
        defs[0].cfg.type = LayerType::linear;
        defs[0].cfg.linear = Linear{weights.data(), biases.data()};
        defs[0].size = 16;
        defs[1].cfg.type = type;
        defs[1].cfg.leaky_relu = LeakyReLU{0.25f};
        if (type == LayerType::elu) defs[1].cfg.elu = ELU{1.0f};
        defs[1].size = 16;
        CountingAllocator counter;
        auto model = create(counter.get(), {defs.data(), defs.size()}, 1);
        ASSERT_TRUE(model.has_value());
        for (float x : {1.0f, -2.0f, nan_b, inf}) {
            std::vector<float> in = {x};
            forwardPass(*model, {in.data(), 1});
            const std::vector<float> want = referenceForward(*model, {in.data(), 1});
            Slice<float> out = getOutputBuffer(*model);
            for (size_t i = 0; i < out.len; ++i) {
                if (want[i] != want[i])
                    EXPECT_EQ(bitsOf(out[i]), 0x7fc00000u) << layerTypeToStr(type) << ", x " << x << ", output " << i;
                else
                    EXPECT_EQ(bitsOf(out[i]), bitsOf(want[i])) << layerTypeToStr(type) << ", x " << x << ", output " << i;
            }
        }
        deinit(*model);
    }
}

TEST(KernelChoice, BaselineIsAlwaysAvailableAndLast) {
    // Every other available table is one whose instruction set this CPU
    // supports, each once, and the automatic choice is the first of them.
    Slice<const KernelTable* const> all = availableImplementations();
    ASSERT_GE(all.len, 1u);
    EXPECT_STREQ(all[all.len - 1]->name, "baseline");
    EXPECT_EQ(&activeImplementation(), all[0]);
    std::set<std::string> names;
    for (const KernelTable* t : all) {
        EXPECT_TRUE(names.insert(t->name).second) << t->name;
        if (t != all[all.len - 1]) {
            EXPECT_TRUE(cpuSupports(t->name)) << t->name;
        }
        EXPECT_NE(t->linear, nullptr) << t->name;
        EXPECT_NE(t->canonicalize_nans, nullptr) << t->name;
    }
    EXPECT_FALSE(cpuSupports("baseline"));
    EXPECT_FALSE(cpuSupports("no such instruction set"));
}

TEST(KernelChoice, ForcedImplementationIsUsedUntilReset) {
    Slice<const KernelTable* const> all = availableImplementations();
    forceImplementation(all[all.len - 1]);
    EXPECT_EQ(&activeImplementation(), all[all.len - 1]);
    forceImplementation(nullptr);
    EXPECT_EQ(&activeImplementation(), all[0]);
}

}  // namespace
