// Element-wise activations in scalar form: the baseline of elu, sigmoid and
// tanh (the wider paths use the eight-wide exp and tanh) and of the
// compare-and-select activations. Each element is read before it is written,
// so every kernel may run in place.
#include "algorithm/kernels.hpp"
#include "algorithm/math.hpp"

namespace tolvex {

namespace {

template <class F>
void mapElements(const Layer& layer, Slice<const float> input, F f) {
    const size_t n = layer.out_buf.len;
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    for (size_t i = 0; i < n; ++i) y[i] = f(x[i]);
}

}  // namespace

void eluScalar(const Layer& layer, Slice<const float> input) {
    const float alpha = layer.cfg.elu.alpha;
    // exp(x) - 1 rather than expm1: the rounding of exp is part of the result.
    mapElements(layer, input, [alpha](float x) { return x > 0.0f ? x : alpha * (math::exp(x) - 1.0f); });
}

void sigmoidScalar(const Layer& layer, Slice<const float> input) {
    mapElements(layer, input, [](float x) { return 1.0f / (1.0f + math::exp(-x)); });
}

void tanhScalar(const Layer& layer, Slice<const float> input) {
    mapElements(layer, input, [](float x) { return math::tanh(x); });
}

void reluBaseline(const Layer& layer, Slice<const float> input) {
    mapElements(layer, input, [](float x) { return x > 0.0f ? x : 0.0f; });
}

void relu6Baseline(const Layer& layer, Slice<const float> input) {
    mapElements(layer, input, [](float x) {
        const float t = x > 6.0f ? 6.0f : x;
        return x > 0.0f ? t : 0.0f;
    });
}

void leakyReluBaseline(const Layer& layer, Slice<const float> input) {
    const float slope = layer.cfg.leaky_relu.negative_slope;
    mapElements(layer, input, [slope](float x) { return x >= 0.0f ? x : x * slope; });
}

void clipBaseline(const Layer& layer, Slice<const float> input) {
    const float lo = layer.cfg.clip.min, hi = layer.cfg.clip.max;
    // The lower bound is tested first, so lo > hi sends everything below lo
    // to lo and everything else to hi.
    mapElements(layer, input, [lo, hi](float x) { return x < lo ? lo : (x > hi ? hi : x); });
}

}  // namespace tolvex
