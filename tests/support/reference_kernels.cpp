#include "support/reference_kernels.hpp"

#include <cmath>
#include <cstring>

#include "algorithm/math.hpp"

namespace tolvex::testing {

namespace {

void referenceLinear(const Linear& p, Slice<const float> x, float* out, size_t size) {
    const size_t L = x.len, chunks = L / 16, v = chunks * 16;
    for (size_t n = 0; n < size; ++n) {
        const float* w = p.weights + n * L;
        float a[16];
        for (float& lane : a) lane = 0.0f;
        for (size_t j = 0; j < chunks; ++j)
            for (size_t l = 0; l < 16; ++l) {
                const float prod = x[16 * j + l] * w[16 * j + l];
                a[l] = a[l] + prod;
            }
        float s = a[0];
        for (size_t l = 1; l < 16; ++l) s = s + a[l];
        float r = p.biases[n] + s;
        for (size_t j = v; j < L; ++j) {
            const float prod = x[j] * w[j];
            r = r + prod;
        }
        out[n] = r;
    }
}

void referenceLayerNorm(const LayerNorm& p, const float* x, float* out, size_t n) {
    if (n == 0) return;
    const float count = static_cast<float>(n);
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) sum = sum + x[i];
    const float mean = sum / count;
    float a = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float d = x[i] - mean;
        const float sq = d * d;
        a = a + sq;
    }
    const float variance = a / count;
    const float stddev = std::sqrt(variance + p.eps);
    for (size_t i = 0; i < n; ++i) {
        const float d = x[i] - mean;
        const float q = d / stddev;
        const float scaled = q * p.weights[i];
        out[i] = scaled + p.biases[i];
    }
}

float referenceActivation(const LayerConfig& c, float x) {
    switch (c.type) {
        case LayerType::clip: return x < c.clip.min ? c.clip.min : (x > c.clip.max ? c.clip.max : x);
        case LayerType::elu: {
            if (x > 0.0f) return x;
            const float e = math::exp(x);
            const float em1 = e - 1.0f;
            return c.elu.alpha * em1;
        }
        case LayerType::relu: return x > 0.0f ? x : 0.0f;
        case LayerType::relu6: {
            const float t = x > 6.0f ? 6.0f : x;
            return x > 0.0f ? t : 0.0f;
        }
        case LayerType::sigmoid: {
            const float e = math::exp(-x);
            const float d = 1.0f + e;
            return 1.0f / d;
        }
        case LayerType::tanh: return math::tanh(x);
        case LayerType::leaky_relu: return x >= 0.0f ? x : x * c.leaky_relu.negative_slope;
        default: return x;
    }
}

}  // namespace

void referenceLayer(const Layer& layer, Slice<const float> input, float* out) {
    const size_t n = layer.out_buf.len;
    switch (layer.cfg.type) {
        case LayerType::linear: referenceLinear(layer.cfg.linear, input, out, n); return;
        case LayerType::layer_norm: referenceLayerNorm(layer.cfg.layer_norm, input.ptr, out, n); return;
        default:
            for (size_t i = 0; i < n; ++i) out[i] = referenceActivation(layer.cfg, input[i]);
            return;
    }
}

std::vector<float> referenceForward(const Model& model, Slice<const float> input) {
    std::vector<float> cur(input.ptr, input.ptr + input.len);
    for (const Layer& layer : model.layers) {
        std::vector<float> next(layer.out_buf.len);
        referenceLayer(layer, Slice<const float>{cur.data(), cur.size()}, next.data());
        cur = std::move(next);
    }
    return cur;
}

bool sameFloat(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    uint32_t ua, ub;
    std::memcpy(&ua, &a, 4);
    std::memcpy(&ub, &b, 4);
    return ua == ub;
}

}  // namespace tolvex::testing
