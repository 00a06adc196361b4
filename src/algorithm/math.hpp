// Single-precision exponential and hyperbolic tangent used by the elu,
// sigmoid and tanh kernels. Both are correctly rounded (to nearest, ties to
// even) for every float input, so every instruction-set path and every
// machine gives the same bits. NaN inputs come back quieted, sign kept.
#pragma once

#include <cstddef>

namespace tolvex::math {

float exp(float x);
float tanh(float x);

// y[i] = exp(x[i]) / tanh(x[i]) for i < n, one value at a time; x and y may
// be the same array. The kernel tables have vector forms with the same bits.
void expArray(const float* x, float* y, size_t n);
void tanhArray(const float* x, float* y, size_t n);

}  // namespace tolvex::math
