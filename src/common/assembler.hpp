// Putting a model together layer by layer. tolvex_create and both file
// loaders build through a ModelAssembler, each with its own checks in its own
// order; the assembler is the one place that applies the buffer-sharing rule,
// allocates the output buffers and the forward scratch, gives the linear
// layers their packed copies, and takes a half-built model apart again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.hpp"
#include "common/types.hpp"

namespace tolvex {

// Whether a finished model gets the packed copies of the kernel
// implementation active when it is made. The exported makers always pack;
// the internal makers default to the row-major weights alone, which tests
// run beside the packed ones.
enum class Packing : uint8_t { none, active };

class ModelAssembler {
   public:
    explicit ModelAssembler(Allocator allocator) { model_.allocator = allocator; }
    // Abandons the model unless finish() has handed it out.
    ~ModelAssembler() { abandon(); }
    ModelAssembler(const ModelAssembler&) = delete;
    ModelAssembler& operator=(const ModelAssembler&) = delete;

    // Starts the model: its input size, and a layer array with room for
    // `capacity` layers (none allocated for 0). OutOfMemory.
    Status begin(uint32_t input_size, size_t capacity);
    // Makes room for `capacity` layers in all (at least count()), keeping
    // those appended: for a maker that learns its layer count only as its
    // input backs it. OutOfMemory; the layers so far stay either way.
    Status reserve(size_t capacity);
    size_t capacity() const { return capacity_; }
    // The layers appended so far.
    size_t count() const { return done_; }
    // The input length of the next layer: the model's input size for the
    // first, otherwise the length of the last layer's output buffer (what
    // a layer after it reads, and shares unless it is linear).
    uint32_t nextInputSize() const;

    // The weight and the bias array of the layer being built, sized to n
    // floats for the maker to fill (nullptr for n = 0): new ones of
    // undefined contents, or the ones of an earlier call resized, keeping
    // their first values (a maker whose input backs an array only as it
    // arrives grows it step by step). They belong to the assembler until
    // append() puts them into the layer. OutOfMemory, with the array as it
    // was.
    Result<float*> weights(size_t n);
    Result<float*> biases(size_t n);

    // Appends the layer being built: `cfg` with the arrays from weights() and
    // biases() in place of its pointers (linear, layer_norm), and an output
    // buffer by the sharing rule: `size` new floats for the first layer and
    // for every linear layer, otherwise the very buffer of the layer before
    // it (`size` is not used then). The maker has checked what the model's
    // invariants need: a linear layer's arrays hold size * nextInputSize()
    // and size floats, a layer_norm layer's both hold the length of its
    // buffer. OutOfMemory (the buffer), with the arrays still the
    // assembler's.
    Status append(const LayerConfig& cfg, uint32_t size);

    // The complete model: the forward scratch (forwardScratchFloats), and
    // with Packing::active the packed copies of the active implementation.
    // From then on the model owns every array and deinit() frees them; on
    // OutOfMemory everything is abandoned.
    Result<Model> finish(Packing packing);

    // Frees everything allocated so far: the arrays of the layer being
    // built, then every appended layer's arrays, packed copies and output
    // buffers, the scratch and the layer array. Does nothing once the model
    // is finished or abandoned.
    void abandon();

   private:
    Status resizeLayers(size_t capacity);

    Model model_;  // layers.len counts the appended layers
    size_t capacity_ = 0;
    size_t done_ = 0;
    Slice<float> weights_, biases_;  // of the layer being built
    bool over_ = false;              // finished or abandoned
};

}  // namespace tolvex
