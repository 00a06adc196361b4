// Construction, teardown, the forward pass and the listing of a model.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/types.hpp"
#include "base/error.hpp"

namespace tolvex {

// Builds a model owning copies of every array the definitions point to.
// Nothing stays allocated on failure.
Result<Model> create(Allocator allocator, Slice<const LayerDefinition> defs, uint32_t input_size);

// The arrays a layer under construction has allocated so far. A model maker
// whose layer fails releases them before it tears down the complete layers.
struct PartialLayer {
    Allocator a;
    Slice<float> out_buf, weights, biases;
    bool owns_out_buf = false;
    void release() const {
        a.freeArray(biases);
        a.freeArray(weights);
        if (owns_out_buf) a.freeArray(out_buf);
    }
};

// Gives every linear layer of a complete model the packed copy that the
// active kernel implementation reads, where it gains from one (PackedLayout).
// On failure the copies made so far stay in the model, and deinit frees them
// with the rest.
Status packLinearLayers(Model& model);

// Frees the weight and bias arrays of layers 0..n-1.
void freeLayers(const Model& model, size_t n);
// Frees the output buffers that layers 0..n-1 own.
void freeOutBufs(const Model& model, size_t n);
// Frees every array of a complete model, packed copies included (not the
// Model record).
void deinit(const Model& model);

// Runs every layer in order. No allocation, no lock, no system call.
void forwardPass(const Model& model, Slice<const float> input);
// The last layer's out_buf; empty for a model without layers.
Slice<float> getOutputBuffer(const Model& model);

// Writes the layer listing to standard error.
void printLayers(const Model& model);

}  // namespace tolvex
