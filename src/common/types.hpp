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

// A second copy of a small linear layer's weights, laid out for the vector
// kernels. The output neurons form groups of 16. A group has row_len + 1
// rows of 16 floats: row j < row_len holds W[16g + k][j] for k = 0..15 (the
// group's weights for input j, one lane per neuron), and row row_len holds
// the group's biases. Lanes past the end of a short last group are +0.0.
//
// Groups are stored in tiles of packedTileGroups() groups (the last tile may
// hold fewer); a tile of G groups takes G * packedBlockFloats() floats and
// starts where the previous one ends. Inside a tile, the rows come in sets:
// set packedRowSet(j) holds row j of each of the tile's G groups, one after
// another. A layer that stays in L1 has tiles of one group with the rows in
// input order. A larger layer has tiles of four groups, with the rows in the
// order the kernels read them: the main rows lanes four at a time over all
// chunks of 16 inputs, then the tail rows, then the biases. A pass over a tile
// is then one sequential stream, which is what streams best from L2. The data
// starts on a 64-byte boundary, so every row is one aligned cache line.
//
// With the inputs along the rows, one vector multiply and add advances the
// lane-l accumulators of 16 neurons at once, and the in-order sum over the
// lanes is 15 plain vector additions with no transpose; the arithmetic per
// neuron and lane is the same as on the row-major matrix, so are the bits.
struct PackedLinear {
    Slice<float> data;     // empty: the layer has no packed copy
    size_t row_len = 0;    // the input length the copy was made for
};

inline constexpr size_t kPackedGroup = 16;
inline constexpr size_t kPackedAlign = 64;
// Layers with up to this many weights (512 KiB) get a packed copy: they fit
// the L2 cache of current cores, where the layout decides the speed. Larger
// layers stream from L3 or memory at the speed of reading the weights either
// way, and a second copy would only double their memory.
inline constexpr size_t kPackedMaxWeights = size_t{1} << 17;
// Layers with up to this many weights (64 KiB) stay in L1 between passes.
inline constexpr size_t kL1Weights = 16384;
// The groups per tile, and the lanes the kernels take at once over a tile.
inline constexpr size_t kPackedTile = 4;
inline constexpr size_t kPackedLanesPerPass = 4;

inline constexpr size_t packedBlockFloats(size_t row_len) { return (row_len + 1) * kPackedGroup; }
inline constexpr size_t packedTileGroups(size_t out, size_t row_len) {
    return out * row_len > kL1Weights ? kPackedTile : 1;
}
// The groups in the tile that starts at group `first` of `groups`: per_tile,
// or fewer in the last tile.
inline constexpr size_t groupsInTile(size_t groups, size_t first, size_t per_tile) {
    return groups - first < per_tile ? groups - first : per_tile;
}
// The set that holds row j (j <= row_len) in a tile of a layer with
// tile_groups groups per tile.
inline constexpr size_t packedRowSet(size_t j, size_t row_len, size_t tile_groups) {
    const size_t chunks = row_len / kPackedGroup;
    if (tile_groups == 1 || j >= chunks * kPackedGroup) return j;
    const size_t c = j / kPackedGroup, lane = j % kPackedGroup;
    return (lane / kPackedLanesPerPass * chunks + c) * kPackedLanesPerPass + lane % kPackedLanesPerPass;
}

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
};

// 0 gives the model's input size; k >= 1 the out_buf length of layer k-1.
inline uint32_t inputSize(const Model& model, uint32_t layer_num) {
    if (layer_num == 0) return model.input_size;
    return static_cast<uint32_t>(model.layers[layer_num - 1].out_buf.len);
}

std::string_view layerTypeToStr(LayerType type);
std::optional<LayerType> parseLayerType(std::string_view text);

}  // namespace tolvex
