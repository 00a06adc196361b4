// Single-precision exponential and hyperbolic tangent used by the elu,
// sigmoid and tanh kernels. Both are correctly rounded (to nearest, ties to
// even) for every float input, so every instruction-set path and every
// machine gives the same bits. NaN inputs come back quieted, sign kept.
#pragma once

#include <cstddef>

namespace tolvex::math {

float exp(float x);
float tanh(float x);

// y[i] = exp(x[i]) / tanh(x[i]) for i < n; x and y may be the same array.
void expArray(const float* x, float* y, size_t n);
void tanhArray(const float* x, float* y, size_t n);

// The same, eight values at a time with AVX2; only to be called on a CPU
// (and OS) that supports AVX2. Same bits as the scalar forms.
void expArrayAvx2(const float* x, float* y, size_t n);
void tanhArrayAvx2(const float* x, float* y, size_t n);

// Sixteen values at a time with AVX-512F; only to be called on a CPU (and OS)
// that supports it. Same bits as the scalar forms.
void expArrayAvx512(const float* x, float* y, size_t n);
void tanhArrayAvx512(const float* x, float* y, size_t n);

}  // namespace tolvex::math
