// Placeholder kernels: plain scalar loops, replaced by the dispatched kernels.
#include <cmath>

#include "algorithm/algorithm.hpp"

namespace tolvex {

void runLayer(const Layer& layer, Slice<const float> input) {
    Slice<float> out = layer.out_buf;
    const LayerConfig& c = layer.cfg;
    switch (c.type) {
        case LayerType::linear: {
            size_t L = input.len;
            for (size_t n = 0; n < out.len; ++n) {
                float lanes[16] = {};
                size_t V = L / 16 * 16;
                for (size_t j = 0; j < V; ++j) lanes[j % 16] += input[j] * c.linear.weights[n * L + j];
                float s = lanes[0];
                for (int l = 1; l < 16; ++l) s += lanes[l];
                float v = c.linear.biases[n] + s;
                for (size_t j = V; j < L; ++j) v += input[j] * c.linear.weights[n * L + j];
                out[n] = v;
            }
            break;
        }
        default:
            for (size_t i = 0; i < out.len; ++i) out[i] = input[i];
            break;
    }
}

}  // namespace tolvex
