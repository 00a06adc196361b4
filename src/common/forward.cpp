#include "algorithm/algorithm.hpp"
#include "common/model.hpp"

namespace tolvex {

void forwardPass(const Model& model, Slice<const float> input) {
    Slice<Layer> layers = model.layers;
    if (layers.len == 0) return;
    runLayer(layers[0], input);
    for (size_t i = 1; i < layers.len; ++i) {
        Slice<float> prev = layers[i - 1].out_buf;
        runLayer(layers[i], Slice<const float>{prev.ptr, prev.len});
    }
    canonicalizeOutput(layers[layers.len - 1].out_buf);
}

Slice<float> getOutputBuffer(const Model& model) {
    if (model.layers.len == 0) return {};
    return model.layers[model.layers.len - 1].out_buf;
}

}  // namespace tolvex
