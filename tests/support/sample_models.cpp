#include "support/sample_models.hpp"

namespace tolvex::testing {

namespace {

// A small deterministic generator: the same seed gives the same weights on
// every machine.
struct Numbers {
    uint32_t state;
    float next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(static_cast<int32_t>(state >> 8) % 2001 - 1000) / 1000.0f;
    }
    std::vector<float> take(size_t n) {
        std::vector<float> v(n);
        for (float& x : v) x = next();
        return v;
    }
};

LayerPlan linearOf(Numbers& r, uint32_t in, uint32_t size) {
    return {LayerType::linear, size, r.take(size_t{in} * size), r.take(size)};
}
LayerPlan layerNormOf(Numbers& r, uint32_t size) {
    return {LayerType::layer_norm, size, r.take(size), r.take(size), 1e-5f};
}
LayerPlan plainOf(LayerType t, uint32_t size, float a = 0, float b = 0) { return {t, size, {}, {}, a, b}; }

}  // namespace

std::vector<ModelPlan> sampleModels(uint32_t seed) {
    Numbers r{seed * 2654435761u + 1};
    float s = 0.5f + static_cast<float>(seed % 7) / 8.0f;
    using T = LayerType;
    std::vector<ModelPlan> m;
    m.push_back({"every-type", 4,
                 {linearOf(r, 4, 6), layerNormOf(r, 6), plainOf(T::clip, 6, -0.5f * s, 0.75f * s),
                  plainOf(T::elu, 6, 0.8f * s), plainOf(T::relu, 6), plainOf(T::relu6, 6), plainOf(T::sigmoid, 6),
                  plainOf(T::tanh, 6), plainOf(T::leaky_relu, 6, 0.02f * s), linearOf(r, 6, 3)}});
    m.push_back({"activation-first", 5,
                 {plainOf(T::relu6, 5), linearOf(r, 5, 4), plainOf(T::sigmoid, 4), linearOf(r, 4, 2),
                  plainOf(T::tanh, 2)}});
    m.push_back({"zero-sizes", 3,
                 {linearOf(r, 3, 0), plainOf(T::relu, 0), linearOf(r, 0, 2), plainOf(T::elu, 2, s)}});
    m.push_back({"layer-norm-first", 3,
                 {layerNormOf(r, 3), plainOf(T::leaky_relu, 3, 0.1f * s), plainOf(T::clip, 3, -1, 1),
                  linearOf(r, 3, 1)}});
    m.push_back({"wide", 33, {linearOf(r, 33, 17), plainOf(T::relu, 17), linearOf(r, 17, 9)}});
    m.push_back({"no-layers", 3, {}});
    return m;
}

tolvex_result addLayer(tolvex_model_definition* def, const LayerPlan& l) {
    switch (l.type) {
        case LayerType::linear: return tolvex_add_linear(def, {l.weights.data(), l.biases.data()}, l.size);
        case LayerType::layer_norm:
            return tolvex_add_layer_norm(def, {l.weights.data(), l.biases.data(), l.a}, l.size);
        case LayerType::clip: return tolvex_add_clip(def, {l.a, l.b}, l.size);
        case LayerType::elu: return tolvex_add_elu(def, {l.a}, l.size);
        case LayerType::relu: return tolvex_add_relu(def, l.size);
        case LayerType::relu6: return tolvex_add_relu6(def, l.size);
        case LayerType::sigmoid: return tolvex_add_sigmoid(def, l.size);
        case LayerType::tanh: return tolvex_add_tanh(def, l.size);
        case LayerType::leaky_relu: return tolvex_add_leaky_relu(def, {l.a}, l.size);
    }
    return tolvex_Unexpected;
}

tolvex_result buildDefinition(const ModelPlan& plan, tolvex_model_definition** def) {
    *def = nullptr;
    tolvex_result r = tolvex_new_model_definition(def, plan.input_size);
    if (r != tolvex_Success) return r;
    for (const LayerPlan& l : plan.layers) {
        r = addLayer(*def, l);
        if (r != tolvex_Success) {
            tolvex_free_model_definition(*def);
            *def = nullptr;
            return r;
        }
    }
    return tolvex_Success;
}

std::vector<float> fixedInput(uint32_t n) {
    static const float kValues[] = {-3.5f, 0.25f, -0.0f, 1.0f, 100.0f, -1e-3f, 0.0f, 7.25f, -90.0f, 2.5f, 1e-40f};
    std::vector<float> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = kValues[i % std::size(kValues)];
    return v;
}

std::vector<float> outputFor(tolvex_model* net, uint32_t input_size) {
    std::vector<float> in = fixedInput(input_size);
    tolvex_forward_pass(net, in.data(), input_size);
    const float* out = tolvex_get_output_buffer(net);
    uint32_t n = tolvex_get_output_len(net);
    return out == nullptr ? std::vector<float>{} : std::vector<float>(out, out + n);
}

}  // namespace tolvex::testing
