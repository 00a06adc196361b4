// The records every part of the library works on: layer types, layer
// configurations, the model definition a host builds, and the run-time model.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/allocator.hpp"
#include "tolvex.h"

namespace tolvex {

// Numeric values are also the layer-type codes of the tvxf file.
enum class LayerType : uint8_t {
    linear = 0,
    layer_norm = 1,
    clip = 2,
    elu = 3,
    relu = 4,
    relu6 = 5,
    sigmoid = 6,
    tanh = 7,
    leaky_relu = 8,
};

inline constexpr uint32_t kLayerTypeCount = 9;

// Parameter records: the C records of the public header.
using Linear = tolvex_linear;
using LayerNorm = tolvex_layer_norm;
using Clip = tolvex_clip;
using ELU = tolvex_elu;
using LeakyReLU = tolvex_leaky_relu;

// Tagged union: the payload named by `type` is the only one ever read.
struct LayerConfig {
    LayerType type = LayerType::relu;
    union {
        Linear linear;
        LayerNorm layer_norm;
        Clip clip;
        ELU elu;
        LeakyReLU leaky_relu;
    };
    LayerConfig() : linear{} {}
};

struct LayerDefinition {
    LayerConfig cfg;
    uint32_t size = 0;
};

// Growable array of layer definitions; storage from cAllocator.
struct ModelDefinition {
    Slice<LayerDefinition> layers;  // len = number of layers
    size_t capacity = 0;
    uint32_t input_size = 0;
};

struct PackedLayout;

// A second copy of a linear layer's weights and biases, arranged for the
// kernels of the implementation that made it (see PackedLayout). A kernel
// reads it only when `layout` is the one it was written for and the copy was
// made for the input length of the pass.
struct PackedLinear {
    Slice<float> data;                     // empty: the layer has no packed copy
    size_t row_len = 0;                    // the input length the copy was made for
    const PackedLayout* layout = nullptr;  // what the copy holds, and how to free it
};

struct Layer {
    Slice<float> out_buf;
    LayerConfig cfg;
    PackedLinear packed;
    // The direction in which the row-major linear kernels visit the groups of
    // 16 neurons on the next pass; every linear pass flips it. Consecutive
    // passes thus alternate, and a pass starts on the rows the one before
    // read last, which are still in the core's L2 cache when the matrix is
    // larger than it. Every neuron's sum is the same in either direction.
    // Calls on one model never overlap, so the pass may write it.
    mutable bool descending = false;
};

struct Model {
    Slice<Layer> layers;
    Allocator allocator;
    uint32_t input_size = 0;
    // Working memory of the forward passes, forwardScratchFloats(*this)
    // floats, allocated with the model so that a pass allocates nothing.
    // Calls on one model never overlap, so a pass may write it.
    Slice<float> scratch;
};

// 0 gives the model's input size; k >= 1 the out_buf length of layer k-1.
inline uint32_t inputSize(const Model& model, uint32_t layer_num) {
    if (layer_num == 0) return model.input_size;
    return static_cast<uint32_t>(model.layers[layer_num - 1].out_buf.len);
}

std::string_view layerTypeToStr(LayerType type);
std::optional<LayerType> parseLayerType(std::string_view text);

}  // namespace tolvex
