// Layer normalization. Both sums are single sequential chains (splitting them
// into partial sums would change the bits), so this kernel has one scalar
// form for every instruction set; only the final element-wise pass is open to
// the compiler's vectoriser.
#include <cmath>

#include "algorithm/kernels.hpp"

namespace tolvex {

void runLayerNormScalar(const Layer& layer, Slice<const float> input) {
    const size_t n = layer.out_buf.len;
    if (n == 0) return;
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    const LayerNorm& p = layer.cfg.layer_norm;
    const float count = static_cast<float>(n);

    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) sum = sum + x[i];
    const float mean = sum / count;

    float a = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float d = x[i] - mean;
        a = a + d * d;
    }
    const float variance = a / count;
    const float stddev = std::sqrt(variance + p.eps);

    // Reads x[i] before writing y[i]: safe when y is x.
    for (size_t i = 0; i < n; ++i) y[i] = ((x[i] - mean) / stddev) * p.weights[i] + p.biases[i];
}

}  // namespace tolvex
