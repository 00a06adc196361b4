// Single-precision exponential and hyperbolic tangent used by the elu,
// sigmoid and tanh kernels. Every kernel goes through these two functions, so
// the activations of every instruction-set path give the same bits.
#pragma once

namespace tolvex::math {

float exp(float x);
float tanh(float x);

}  // namespace tolvex::math
