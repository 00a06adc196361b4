#include <bit>
#include <cstdint>
#include <cstring>

#include "algorithm/algorithm.hpp"
#include "algorithm/kernels.hpp"
#include "common/model.hpp"

namespace tolvex {

namespace {

// The layers of a pass, the output's NaNs as they come; false when no layer
// ran (none, or the input's length is wrong and the output all canonical
// NaNs). Inlined into both callers, so that the single pass makes no extra
// call.
[[gnu::always_inline]] inline bool passLayers(const Model& model, Slice<const float> input) {
    Slice<Layer> layers = model.layers;
    if (layers.len == 0) return false;
    if (input.len != model.input_size) {
        fillCanonicalNaN(layers[layers.len - 1].out_buf);
        return false;
    }
    // The first layer writes its buffer while it reads the input: a linear
    // layer reads every input for every output, and an element-wise one
    // whose input starts elsewhere in its buffer would read values it has
    // already replaced. Only an element-wise layer on exactly its own buffer
    // is safe in place, as every later one after it is.
    const Layer& first = layers[0];
    if (overlaps(input.ptr, input.len, first.out_buf.ptr, first.out_buf.len) &&
        (input.ptr != first.out_buf.ptr || first.cfg.type == LayerType::linear)) {
        std::memcpy(model.scratch.ptr, input.ptr, input.len * sizeof(float));
        input = {model.scratch.ptr, input.len};
    }
    runLayer(first, input);
    for (size_t i = 1; i < layers.len; ++i) {
        Slice<float> prev = layers[i - 1].out_buf;
        runLayer(layers[i], Slice<const float>{prev.ptr, prev.len});
    }
    return true;
}

}  // namespace

void fillCanonicalNaN(Slice<float> out) {
    const float nan = std::bit_cast<float>(kCanonicalNaN);
    for (float& v : out) v = nan;
}

void forwardPass(const Model& model, Slice<const float> input) {
    if (passLayers(model, input)) canonicalizeOutput(model.layers[model.layers.len - 1].out_buf);
}

void runLayers(const Model& model, Slice<const float> input) { (void)passLayers(model, input); }

Slice<float> getOutputBuffer(const Model& model) {
    if (model.layers.len == 0) return {};
    return model.layers[model.layers.len - 1].out_buf;
}

}  // namespace tolvex
