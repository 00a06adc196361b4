// Layer-type names, the buffer-sharing rule and the model-definition builder.
#include <gtest/gtest.h>

#include <vector>

#include "common/types.hpp"
#include "root/root.hpp"
#include "support/test_allocators.hpp"
#include "util/util.hpp"

using namespace tolvex;
using tolvex::testing::CountingAllocator;
using tolvex::testing::ScopedCAllocator;

static_assert(sizeof(LayerType) == 1);
static_assert(static_cast<int>(LayerType::linear) == 0 && static_cast<int>(LayerType::leaky_relu) == 8);
static_assert(sizeof(tolvex_linear) == 16 && sizeof(tolvex_layer_norm) == 24);
static_assert(offsetof(tolvex_layer_norm, eps) == 16 && sizeof(tolvex_clip) == 8);
static_assert(sizeof(tolvex_elu) == 4 && sizeof(tolvex_leaky_relu) == 4);
static_assert(shouldAllocOutBuf(LayerType::linear) && !shouldAllocOutBuf(LayerType::relu));

TEST(LayerTypeNames, RoundTripAllNine) {
    const char* names[] = {"linear", "layer_norm", "clip", "elu", "relu", "relu6", "sigmoid", "tanh", "leaky_relu"};
    for (uint32_t i = 0; i < kLayerTypeCount; ++i) {
        auto t = static_cast<LayerType>(i);
        EXPECT_EQ(layerTypeToStr(t), names[i]);
        ASSERT_TRUE(parseLayerType(names[i]).has_value());
        EXPECT_EQ(*parseLayerType(names[i]), t);
    }
}

TEST(LayerTypeNames, RejectsOtherSpellings) {
    for (const char* bad : {"ReLU", "Linear", "leaky-relu", "", " relu", "relu ", "relu6\n", "layernorm", "RELU6"})
        EXPECT_FALSE(parseLayerType(bad).has_value()) << bad;
}

class Builder : public ::testing::Test {
protected:
    CountingAllocator counter;
    ScopedCAllocator scope{counter};
    void TearDown() override {
        EXPECT_EQ(counter.liveBlocks(), 0u);
        EXPECT_EQ(counter.badFrees(), 0u);
    }
    static const ModelDefinition& view(tolvex_model_definition* d) {
        return *reinterpret_cast<const ModelDefinition*>(d);
    }
};

TEST_F(Builder, EmptyDefinitionHoldsOnlyTheRecord) {
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 4), tolvex_Success);
    EXPECT_EQ(view(def).layers.len, 0u);
    EXPECT_EQ(view(def).input_size, 4u);
    EXPECT_EQ(counter.liveBlocks(), 1u);
    tolvex_free_model_definition(def);
    tolvex_free_model_definition(nullptr);
}

TEST_F(Builder, RecordsLayersInOrderWithPointersAndParameters) {
    float w1[12], b1[3], w2[6], b2[2], ln_w[2], ln_b[2];
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 4), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(def, {w1, b1}, 3), tolvex_Success);
    ASSERT_EQ(tolvex_add_relu(def, 3), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(def, {w2, b2}, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_layer_norm(def, {ln_w, ln_b, 0.5f}, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_clip(def, {-1.0f, 2.0f}, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_elu(def, {0.75f}, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_relu6(def, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_sigmoid(def, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_tanh(def, 2), tolvex_Success);
    ASSERT_EQ(tolvex_add_leaky_relu(def, {0.125f}, 2), tolvex_Success);
    // A size mismatch is recorded, not rejected.
    ASSERT_EQ(tolvex_add_relu(def, 5), tolvex_Success);

    const ModelDefinition& d = view(def);
    ASSERT_EQ(d.layers.len, 11u);
    const LayerType types[] = {LayerType::linear, LayerType::relu,  LayerType::linear,  LayerType::layer_norm,
                               LayerType::clip,   LayerType::elu,   LayerType::relu6,   LayerType::sigmoid,
                               LayerType::tanh,   LayerType::leaky_relu, LayerType::relu};
    const uint32_t sizes[] = {3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 5};
    for (size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(d.layers[i].cfg.type, types[i]) << i;
        EXPECT_EQ(d.layers[i].size, sizes[i]) << i;
    }
    EXPECT_EQ(d.layers[0].cfg.linear.weights, w1);
    EXPECT_EQ(d.layers[0].cfg.linear.biases, b1);
    EXPECT_EQ(d.layers[2].cfg.linear.weights, w2);
    EXPECT_EQ(d.layers[2].cfg.linear.biases, b2);
    EXPECT_EQ(d.layers[3].cfg.layer_norm.weights, ln_w);
    EXPECT_EQ(d.layers[3].cfg.layer_norm.eps, 0.5f);
    EXPECT_EQ(d.layers[4].cfg.clip.min, -1.0f);
    EXPECT_EQ(d.layers[4].cfg.clip.max, 2.0f);
    EXPECT_EQ(d.layers[5].cfg.elu.alpha, 0.75f);
    EXPECT_EQ(d.layers[9].cfg.leaky_relu.negative_slope, 0.125f);
    tolvex_free_model_definition(def);
}

TEST_F(Builder, ThousandsOfLayersStayInOrderAcrossGrowth) {
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 1), tolvex_Success);
    std::vector<float> store(5000);
    for (uint32_t i = 0; i < 5000; ++i) {
        if (i % 2 == 0)
            ASSERT_EQ(tolvex_add_linear(def, {&store[i], &store[i]}, i), tolvex_Success);
        else
            ASSERT_EQ(tolvex_add_leaky_relu(def, {static_cast<float>(i)}, i), tolvex_Success);
    }
    const ModelDefinition& d = view(def);
    ASSERT_EQ(d.layers.len, 5000u);
    for (uint32_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(d.layers[i].size, i);
        if (i % 2 == 0)
            ASSERT_EQ(d.layers[i].cfg.linear.weights, &store[i]);
        else
            ASSERT_EQ(d.layers[i].cfg.leaky_relu.negative_slope, static_cast<float>(i));
    }
    tolvex_free_model_definition(def);
}

TEST_F(Builder, FailedAppendLeavesDefinitionUnchanged) {
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 3), tolvex_Success);
    // Fill the first block exactly, then make the growth fail.
    size_t appended = 0;
    while (true) {
        size_t before = counter.allocations();
        ASSERT_EQ(tolvex_add_relu(def, 3), tolvex_Success);
        ++appended;
        if (counter.allocations() != before && appended > 1) break;
    }
    // The array just grew; keep appending until the next growth is due.
    const ModelDefinition& d = view(def);
    while (d.layers.len < d.capacity) ASSERT_EQ(tolvex_add_tanh(def, 3), tolvex_Success);
    const size_t len = d.layers.len;
    const LayerDefinition* ptr = d.layers.ptr;
    counter.failAt(1);
    EXPECT_EQ(tolvex_add_clip(def, {0, 1}, 3), tolvex_OutOfMemory);
    EXPECT_EQ(d.layers.len, len);
    EXPECT_EQ(d.layers.ptr, ptr);
    EXPECT_EQ(d.layers[len - 1].cfg.type, LayerType::tanh);
    // The definition stays usable: a retry succeeds.
    EXPECT_EQ(tolvex_add_clip(def, {0, 1}, 3), tolvex_Success);
    EXPECT_EQ(d.layers.len, len + 1);
    EXPECT_EQ(d.layers[len].cfg.type, LayerType::clip);
    tolvex_free_model_definition(def);
}

TEST_F(Builder, FailedDefinitionAllocationLeavesHandleUnchanged) {
    auto* sentinel = reinterpret_cast<tolvex_model_definition*>(0x1234);
    tolvex_model_definition* def = sentinel;
    counter.failAt(1);
    EXPECT_EQ(tolvex_new_model_definition(&def, 3), tolvex_OutOfMemory);
    EXPECT_EQ(def, sentinel);
}
