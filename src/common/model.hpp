// Construction, teardown, the forward pass and the listing of a model.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/assembler.hpp"
#include "common/types.hpp"
#include "base/error.hpp"

namespace tolvex {

// Builds a model owning copies of every array the definitions point to.
// WrongLayerSize, OutOfMemory; nothing stays allocated on failure.
Result<Model> create(Allocator allocator, Slice<const LayerDefinition> defs, uint32_t input_size,
                     Packing packing = Packing::none);

// The floats of a model's forward scratch (Model::scratch), allocated once
// when the model is finished (ModelAssembler::finish) and never resized: two
// tiles of the model's widest vector (its input included), which take turns
// as the linear layers' outputs in a batched pass (batch.cpp); a single pass
// whose input overlaps the buffer the first layer writes copies the input
// into it. A model without layers runs nothing and needs none.
size_t forwardScratchFloats(const Model& model);

// Gives every linear layer of a complete model the packed copy that the
// active kernel implementation reads, where it gains from one (PackedLayout).
// On failure the copies made so far stay in the model, and deinit frees them
// with the rest.
Status packLinearLayers(Model& model);

// Frees the weight and bias arrays of layers 0..n-1.
void freeLayers(const Model& model, size_t n);
// Frees the output buffers that layers 0..n-1 own.
void freeOutBufs(const Model& model, size_t n);
// Frees every array of a complete model, packed copies and scratch included
// (not the Model record).
void deinit(const Model& model);

// Whether two float ranges share an address. Compared as integers: the
// pointers may come from unrelated arrays.
inline bool overlaps(const float* a, size_t a_len, const float* b, size_t b_len) {
    const auto a0 = reinterpret_cast<uintptr_t>(a), b0 = reinterpret_cast<uintptr_t>(b);
    return a0 < b0 + b_len * sizeof(float) && b0 < a0 + a_len * sizeof(float);
}

// Runs every layer in order. No allocation, no lock, no system call.
// An input length other than the model's input size sets every output value
// to the canonical quiet NaN and reads neither the input nor the weights.
// An input that overlaps the buffer the first layer writes (the model's own
// output fed back, say) is first copied into the scratch, so that the pass
// computes what it would from a copy of the input. Nothing on a model
// without layers.
void forwardPass(const Model& model, Slice<const float> input);
// forwardPass, except that the NaNs of the output are left as the layers
// made them (forwardPass then makes them canonical); for a caller that
// copies the output elsewhere and makes them canonical in that copy.
void runLayers(const Model& model, Slice<const float> input);
// Runs `count` samples (batch.cpp). `input` holds count rows of the input
// length the host gave, one after another (input.len = count * that
// length); `output` receives count rows of the output length
// (output.len = count * getOutputBuffer(model).len). Every output row holds
// the bits forwardPass gives for its input row alone, whatever `count`; the
// model's own buffers are left unspecified (a tile of one input runs the
// single pass in them).
// A row length other than the model's input size sets every value of every
// output row to the canonical quiet NaN, reading neither the input nor the
// weights. No allocation, no lock, no system call; nothing on a model
// without layers. The two arrays may overlap as memmove's do when
// output.ptr <= input.ptr and output rows are no longer than input rows, or
// output.ptr >= input.ptr and they are no shorter (one array in place, say):
// the tiles of samples then run forwards in the first case and backwards in
// the second, so that each reads its inputs before any output lands on them.
void forwardBatch(const Model& model, Slice<const float> input, size_t count, Slice<float> output);
// Sets every value to the canonical quiet NaN (kCanonicalNaN): the output of
// a pass given an input of the wrong length.
void fillCanonicalNaN(Slice<float> out);
// The last layer's out_buf; empty for a model without layers.
Slice<float> getOutputBuffer(const Model& model);

// Writes the layer listing to standard error.
void printLayers(const Model& model);

}  // namespace tolvex
