// Model construction, teardown, buffer sharing, the forward pass frame and
// output access.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/model.hpp"
#include "root/root.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;
using tolvex::testing::CountingAllocator;
using tolvex::testing::ScopedCAllocator;

namespace {

LayerDefinition linearDef(const float* w, const float* b, uint32_t size) {
    LayerDefinition d;
    d.cfg.type = LayerType::linear;
    d.cfg.linear = {w, b};
    d.size = size;
    return d;
}

LayerDefinition plainDef(LayerType type, uint32_t size) {
    LayerDefinition d;
    d.cfg.type = type;
    d.size = size;
    return d;
}

LayerDefinition layerNormDef(const float* w, const float* b, float eps, uint32_t size) {
    LayerDefinition d;
    d.cfg.type = LayerType::layer_norm;
    d.cfg.layer_norm = {w, b, eps};
    d.size = size;
    return d;
}

Slice<const LayerDefinition> slice(const std::vector<LayerDefinition>& v) { return {v.data(), v.size()}; }

class ModelTest : public ::testing::Test {
protected:
    CountingAllocator counter;
    void TearDown() override {
        EXPECT_EQ(counter.liveBlocks(), 0u);
        EXPECT_EQ(counter.badFrees(), 0u);
    }
};

}  // namespace

TEST_F(ModelTest, NoLayersGivesEmptyModel) {
    auto m = create(counter.get(), {}, 3);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->layers.len, 0u);
    EXPECT_EQ(m->input_size, 3u);
    EXPECT_EQ(counter.liveBlocks(), 0u);
    EXPECT_EQ(getOutputBuffer(*m).ptr, nullptr);
    float in[3] = {1, 2, 3};
    forwardPass(*m, {in, 3});  // does nothing
    deinit(*m);
}

TEST_F(ModelTest, BufferSharingFollowsLinearLayers) {
    std::vector<float> w1(8 * 4, 0.5f), b1(8, 0.f), w2(2 * 8, 1.f), b2(2, 0.f), lw(8, 1.f), lb(8, 0.f);
    std::vector<LayerDefinition> defs = {
        linearDef(w1.data(), b1.data(), 8), layerNormDef(lw.data(), lb.data(), 1e-5f, 8),
        plainDef(LayerType::relu, 8), linearDef(w2.data(), b2.data(), 2), plainDef(LayerType::sigmoid, 2)};
    auto m = create(counter.get(), slice(defs), 4);
    ASSERT_TRUE(m);
    const Slice<Layer> L = m->layers;
    ASSERT_EQ(L.len, 5u);
    EXPECT_EQ(L[1].out_buf.ptr, L[0].out_buf.ptr);
    EXPECT_EQ(L[2].out_buf.ptr, L[0].out_buf.ptr);
    EXPECT_NE(L[3].out_buf.ptr, L[0].out_buf.ptr);
    EXPECT_EQ(L[4].out_buf.ptr, L[3].out_buf.ptr);
    EXPECT_EQ(getOutputBuffer(*m).ptr, L[3].out_buf.ptr);
    EXPECT_EQ(getOutputBuffer(*m).len, 2u);
    EXPECT_EQ(inputSize(*m, 0), 4u);
    EXPECT_EQ(inputSize(*m, 2), 8u);
    EXPECT_EQ(inputSize(*m, 3), 8u);
    // Two output buffers, two weight copies per weighted layer, the layer
    // array, the forward scratch.
    EXPECT_EQ(counter.liveBlocks(), 2u + 2u * 3u + 1u + 1u);
    // The second linear layer's weights are a 16-float copy, not the host's.
    EXPECT_NE(L[3].cfg.linear.weights, w2.data());
    EXPECT_EQ(std::memcmp(L[3].cfg.linear.weights, w2.data(), 16 * sizeof(float)), 0);
    deinit(*m);
}

TEST_F(ModelTest, FirstLayerOwnsABufferWhateverItsType) {
    std::vector<LayerDefinition> defs = {plainDef(LayerType::relu, 3), plainDef(LayerType::tanh, 3)};
    auto m = create(counter.get(), slice(defs), 3);
    ASSERT_TRUE(m);
    EXPECT_EQ(counter.liveBlocks(), 3u);  // layer array, layer 0's buffer, the scratch
    float in[3] = {-1, 0, 2};
    forwardPass(*m, {in, 3});
    EXPECT_EQ(in[0], -1.0f);
    EXPECT_EQ(in[2], 2.0f);
    EXPECT_NE(getOutputBuffer(*m).ptr, in);
    deinit(*m);
}

TEST_F(ModelTest, WrongLayerSizeFreesEverything) {
    std::vector<float> w(8 * 4), b(8);
    struct Case {
        std::vector<LayerDefinition> defs;
    };
    const Case cases[] = {
        {{plainDef(LayerType::relu, 5)}},                                        // layer 0 vs input size 4
        {{linearDef(w.data(), b.data(), 8), plainDef(LayerType::tanh, 4)}},      // after linear 8
        {{linearDef(w.data(), b.data(), 0), plainDef(LayerType::relu, 1)}},      // after linear 0
        {{linearDef(w.data(), b.data(), 8), layerNormDef(w.data(), b.data(), 0, 7)}},
    };
    for (const Case& c : cases) {
        auto m = create(counter.get(), slice(c.defs), 4);
        ASSERT_FALSE(m);
        EXPECT_EQ(m.error(), Error::WrongLayerSize);
        EXPECT_EQ(counter.liveBlocks(), 0u);
    }
    // Size 0 after a linear layer of size 0 is fine.
    std::vector<LayerDefinition> ok = {linearDef(w.data(), b.data(), 0), plainDef(LayerType::relu, 0)};
    auto m = create(counter.get(), slice(ok), 4);
    ASSERT_TRUE(m);
    EXPECT_EQ(getOutputBuffer(*m).len, 0u);
    deinit(*m);
}

TEST_F(ModelTest, WeightCountBeyond32BitsIsRefused) {
    // 65536 x 65536 weights would wrap to 0 in 32 bits; nothing is read from
    // the host arrays before the refusal.
    std::vector<LayerDefinition> defs = {linearDef(nullptr, nullptr, 65536)};
    auto m = create(counter.get(), slice(defs), 65536);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error(), Error::OutOfMemory);
}

TEST_F(ModelTest, EveryAllocationFailureCleansUp) {
    std::vector<float> w1(6 * 5, 0.25f), b1(6, 1.f), lw(6, 1.f), lb(6, 0.f), w2(3 * 6, -1.f), b2(3, 0.f);
    std::vector<LayerDefinition> defs = {
        plainDef(LayerType::clip, 5), linearDef(w1.data(), b1.data(), 6), layerNormDef(lw.data(), lb.data(), 0, 6),
        plainDef(LayerType::elu, 6), linearDef(w2.data(), b2.data(), 3), plainDef(LayerType::leaky_relu, 3)};
    size_t failures = 0;
    for (size_t k = 1;; ++k) {
        counter.failAt(k);
        auto m = create(counter.get(), slice(defs), 5);
        counter.failAt(0);
        if (m) {
            deinit(*m);
            break;
        }
        EXPECT_EQ(m.error(), Error::OutOfMemory);
        EXPECT_EQ(counter.liveBlocks(), 0u) << "k=" << k;
        ++failures;
    }
    // layer array, 3 buffers, 2 x 3 weight arrays, the forward scratch
    EXPECT_EQ(failures, 11u);
}

// Through the exported functions: copies are independent of the host's
// arrays and the definition, and a failed create leaves nothing behind.
class ExportedModel : public ModelTest {
protected:
    ScopedCAllocator scope{counter};
};

TEST_F(ExportedModel, HostArraysMayChangeAfterCreate) {
    std::vector<float> w(2 * 3), b(2);
    for (size_t i = 0; i < w.size(); ++i) w[i] = 0.5f * static_cast<float>(i) - 1.0f;
    b = {0.25f, -0.5f};
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 3), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(def, {w.data(), b.data()}, 2), tolvex_Success);
    tolvex_model* net = nullptr;
    ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
    const float in[3] = {1.0f, 2.0f, -3.0f};
    tolvex_forward_pass(net, in, 3);
    ASSERT_EQ(tolvex_get_output_len(net), 2u);
    const float* out = tolvex_get_output_buffer(net);
    const std::vector<float> first(out, out + 2);
    std::fill(w.begin(), w.end(), 99.f);
    std::fill(b.begin(), b.end(), 99.f);
    tolvex_free_model_definition(def);
    tolvex_forward_pass(net, in, 3);
    EXPECT_EQ(tolvex_get_output_buffer(net), out);
    EXPECT_EQ(std::vector<float>(out, out + 2), first);
    // (-1*1 + -0.5*2 + 0*-3) + 0.25 = -1.75; (0.5 + 2 - 4.5) - 0.5 = -2.5
    EXPECT_EQ(first[0], -1.75f);
    EXPECT_EQ(first[1], -2.5f);
    tolvex_free_model(net);
    tolvex_free_model(nullptr);
}

TEST_F(ExportedModel, FailedCreateFreesRecordAndClearsHandle) {
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 4), tolvex_Success);
    ASSERT_EQ(tolvex_add_relu(def, 5), tolvex_Success);
    tolvex_model* net = reinterpret_cast<tolvex_model*>(0x1);
    EXPECT_EQ(tolvex_create(&net, def), tolvex_WrongLayerSize);
    EXPECT_EQ(net, nullptr);
    // The record itself cannot be had: the handle stays as it was.
    net = reinterpret_cast<tolvex_model*>(0x1);
    counter.failAt(1);
    EXPECT_EQ(tolvex_create(&net, def), tolvex_OutOfMemory);
    EXPECT_EQ(net, reinterpret_cast<tolvex_model*>(0x1));
    tolvex_free_model_definition(def);
}

TEST_F(ExportedModel, CreateAndFreeInALoopLeavesNothing) {
    std::vector<float> w(16 * 16, 0.125f), b(16, 0.f);
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 16), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(def, {w.data(), b.data()}, 16), tolvex_Success);
    ASSERT_EQ(tolvex_add_relu(def, 16), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(def, {w.data(), b.data()}, 16), tolvex_Success);
    for (int i = 0; i < 100; ++i) {
        tolvex_model* net = nullptr;
        ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
        tolvex_free_model(net);
    }
    tolvex_free_model_definition(def);
}

TEST_F(ExportedModel, ModelWithoutLayersHasNoOutput) {
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 2), tolvex_Success);
    tolvex_model* net = nullptr;
    ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
    EXPECT_EQ(counter.liveBlocks(), 2u);  // the definition and the model record
    const float in[2] = {1, 2};
    tolvex_forward_pass(net, in, 2);
    EXPECT_EQ(tolvex_get_output_buffer(net), nullptr);
    EXPECT_EQ(tolvex_get_output_len(net), 0u);
    tolvex_free_model(net);
    tolvex_free_model_definition(def);
}
