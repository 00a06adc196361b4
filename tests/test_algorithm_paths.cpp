// The kernel paths against each other: seeded random models of every layer
// type, each made through the exported builder on every available path and
// run twice (both directions of the linear kernels), give the same output
// bits on every path and in both passes.
#include <string>
#include <vector>

#include "support/known_answers.hpp"
#include "test_algorithm_support.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

// Every bit counts, NaN included: every NaN in an output is 0x7fc00000.
bool samePathBits(float a, float b) { return known::bitsOf(a) == known::bitsOf(b); }

// Small layers, so that thousands of models take seconds even under an
// emulator: every remainder of the 4-, 8- and 16-wide loops and groups.
constexpr uint32_t kWidths[] = {0, 1, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 20, 24, 31, 32, 33, 40};
constexpr int kModels = 10000;

TEST(KernelPaths, RandomModelsGiveTheSameBitsOnEveryPath) {
    // The automatic choice returns however the test ends.
    struct Unforce {
        ~Unforce() { forceImplementation(nullptr); }
    } unforce;
    Slice<const KernelTable* const> paths = availableImplementations();
    FloatSource src(15);
    size_t outputs = 0;
    for (int rep = 0; rep < kModels; ++rep) {
        const RandomModel rm = randomModel(src, kWidths);
        // Every fourth input holds two NaNs of opposite signs and different
        // payloads: which one a kernel passes on differs between paths.
        std::vector<float> input = src.vec(rm.input_size, 0.01);
        if (rep % 4 == 0 && !input.empty()) {
            const uint32_t payload = static_cast<uint32_t>(rep) % 0x3fffff + 1;
            input[src.below(rm.input_size)] = known::floatOf(0x7fc00000u | payload);
            input[src.below(rm.input_size)] = known::floatOf(0xffc00000u | (payload + 1));
        }
        tolvex_model_definition* def = nullptr;
        ASSERT_EQ(defineRandomModel(rm, &def), tolvex_Success);
        std::vector<float> first;
        for (size_t p = 0; p < paths.len; ++p) {
            // Forced before the model is made: it may carry weights laid out
            // for the path in force.
            forceImplementation(paths[p]);
            tolvex_model* net = nullptr;
            ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
            for (int pass = 0; pass < 2; ++pass) {
                tolvex_forward_pass(net, input.data(), rm.input_size);
                const float* y = tolvex_get_output_buffer(net);
                const std::vector<float> out(y, y + tolvex_get_output_len(net));
                outputs += out.size();
                if (p == 0 && pass == 0) {
                    first = out;
                    continue;
                }
                ASSERT_EQ(out.size(), first.size());
                for (size_t i = 0; i < out.size(); ++i)
                    ASSERT_TRUE(samePathBits(first[i], out[i]))
                        << "model " << rep << ", " << paths[p]->name << " pass " << pass << ", output " << i
                        << ": " << describe(out[i]) << ", " << paths[0]->name << " gave "
                        << describe(first[i]);
            }
            tolvex_free_model(net);
        }
        tolvex_free_model_definition(def);
    }
    RecordProperty("outputs", std::to_string(outputs));
}

}  // namespace
