// The forward pass for many inputs, tile by tile through the whole network.
#pragma once

#include <cstddef>

#include "common/types.hpp"

namespace tolvex {

// Inputs per tile: every layer runs on a tile's inputs together, so each
// weight is read once per tile from memory and reused from registers and
// the cache for the inputs of the tile.
inline constexpr size_t kBatchTile = 32;

// The scratch floats a model needs for its tiles (two tiles of its widest
// vector, input included); 0 for a model without layers.
size_t batchScratchFloats(const Model& model);

// Runs `count` inputs (rows of model.input_size floats at `input`) and writes
// their outputs (rows of the last layer's size) to `output`. Every output
// has the bits forwardPass gives for its input alone, NaNs canonical. The
// model's own buffers are not touched; `scratch` holds batchScratchFloats()
// floats. Input and output may overlap as memmove allows for rows of
// different lengths: output at or before input with rows no longer, or at or
// after input with rows no shorter. No allocation, no lock, no failure.
void forwardBatchTiles(const Model& model, const float* input, size_t count, float* output, Slice<float> scratch);

}  // namespace tolvex
