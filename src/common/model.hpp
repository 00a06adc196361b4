// Construction, teardown, the forward pass and the listing of a model.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/types.hpp"
#include "root/error.hpp"

namespace tolvex {

// Builds a model owning copies of every array the definitions point to.
// Nothing stays allocated on failure.
Result<Model> create(Allocator allocator, Slice<const LayerDefinition> defs, uint32_t input_size);

// Frees the weight and bias arrays of layers 0..n-1.
void freeLayers(const Model& model, size_t n);
// Frees the output buffers that layers 0..n-1 own.
void freeOutBufs(const Model& model, size_t n);
// Frees every array of a complete model (not the Model record).
void deinit(const Model& model);

// Runs every layer in order. No allocation, no lock, no system call.
void forwardPass(const Model& model, Slice<const float> input);
// The last layer's out_buf; empty for a model without layers.
Slice<float> getOutputBuffer(const Model& model);

// Writes the layer listing to standard error.
void printLayers(const Model& model);

}  // namespace tolvex
