// Whole random models through forwardPass on every implementation, compared
// bit for bit with the reference, and the choice of implementation.
#include <string>

#include "algorithm/algorithm.hpp"
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

TEST(KernelChoice, BaselineIsAlwaysAvailableAndLast) {
    Slice<const KernelTable* const> all = availableImplementations();
    ASSERT_GE(all.len, 1u);
    EXPECT_STREQ(all[all.len - 1]->name, "baseline");
    EXPECT_EQ(&activeImplementation(), all[0]);
    std::vector<std::string> names;
    for (const KernelTable* t : all) names.push_back(t->name);
    std::vector<std::string> want;
    if (cpuHasAvx512()) want.push_back("avx512");
    if (cpuHasAvx2()) want.push_back("avx2");
    want.push_back("baseline");
    EXPECT_EQ(names, want);
}

TEST(KernelChoice, ForcedImplementationIsUsedUntilReset) {
    Slice<const KernelTable* const> all = availableImplementations();
    forceImplementation(all[all.len - 1]);
    EXPECT_EQ(&activeImplementation(), all[all.len - 1]);
    forceImplementation(nullptr);
    EXPECT_EQ(&activeImplementation(), all[0]);
}

}  // namespace
