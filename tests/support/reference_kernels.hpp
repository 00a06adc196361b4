// Plain scalar kernels written straight from the formulas, one element and
// one rounded operation at a time: the reference that every kernel path and
// every model reader is compared with, bit for bit.
#pragma once

#include <cstddef>
#include <vector>

#include "common/types.hpp"

namespace tolvex::testing {

// Computes `layer` from `input` into out[0 .. layer.out_buf.len). Reads only
// the layer's parameters; its out_buf is left alone.
void referenceLayer(const Layer& layer, Slice<const float> input, float* out);

// Runs every layer of `model` on `input` in fresh buffers and returns the
// last layer's output; the model's own buffers are left alone.
std::vector<float> referenceForward(const Model& model, Slice<const float> input);

// Same bits, or both NaN: which NaN payload an operation passes on depends on
// operand order, which the compiler may swap in commutative operations.
bool sameFloat(float a, float b);

}  // namespace tolvex::testing
