#include "algorithm/math.hpp"

#include <cmath>

namespace tolvex::math {

float exp(float x) { return ::expf(x); }
float tanh(float x) { return ::tanhf(x); }

}  // namespace tolvex::math
