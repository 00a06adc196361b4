// The arithmetic of inference: one call computes one layer into its out_buf.
#pragma once

#include "common/types.hpp"

namespace tolvex {

// Computes `layer` from `input` into layer.out_buf. Only the linear kernel
// uses input.len (as its row length); the others take their element count
// from out_buf and may run in place (input.ptr == out_buf.ptr).
void runLayer(const Layer& layer, Slice<const float> input);

// Replaces every NaN in a model's output with the canonical quiet NaN
// (kCanonicalNaN): the layers leave NaN payloads and signs that differ
// between instruction sets and architectures, the output does not.
void canonicalizeOutput(Slice<float> out);
// The same while copying n output floats from x into y, which must not
// overlap x: one pass instead of a copy and a pass.
void copyCanonicalOutput(const float* x, float* y, size_t n);

}  // namespace tolvex
