// The five whole networks of the benchmarks, their parameters, and the same
// networks built in tolvex and in Eigen.
//
//   W1  32 -> linear 64 -> tanh -> linear 64 -> tanh -> linear 8
//   W2  256 -> linear 512 -> layer_norm -> relu -> linear 512 -> relu -> linear 64
//   W3  1024 -> linear 1024 -> relu -> linear 1024
//   W4  4096 -> linear 4096
//   W5  67 -> linear 131 -> elu -> linear 29 -> sigmoid
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tolvex.h"

// GCC 12 reports the deliberately undefined operand inside some AVX-512
// intrinsics (used by Eigen) as uninitialized (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#if TOLVEX_HAVE_EIGEN
#include <Eigen/Dense>
#endif

namespace bench {

enum class Op { linear, layer_norm, relu, tanh, elu, sigmoid };

struct Step {
    Op op;
    uint32_t size;
};

struct Workload {
    const char* name;
    uint32_t input;
    std::vector<Step> steps;
};

inline const std::vector<Workload>& workloads() {
    static const std::vector<Workload> all = {
        {"W1", 32, {{Op::linear, 64}, {Op::tanh, 64}, {Op::linear, 64}, {Op::tanh, 64}, {Op::linear, 8}}},
        {"W2",
         256,
         {{Op::linear, 512},
          {Op::layer_norm, 512},
          {Op::relu, 512},
          {Op::linear, 512},
          {Op::relu, 512},
          {Op::linear, 64}}},
        {"W3", 1024, {{Op::linear, 1024}, {Op::relu, 1024}, {Op::linear, 1024}}},
        {"W4", 4096, {{Op::linear, 4096}}},
        {"W5", 67, {{Op::linear, 131}, {Op::elu, 131}, {Op::linear, 29}, {Op::sigmoid, 29}}},
    };
    return all;
}

constexpr float kEluAlpha = 1.0f;
constexpr float kEps = 1e-5f;

// The parameters of every step (empty for the parameterless ones), weights
// scaled by 1/sqrt(inputs) so activations stay in their interesting range.
struct Params {
    std::vector<std::vector<float>> weights, biases;
    std::vector<float> input;
    double flops = 0;
};

inline Params makeParams(const Workload& wl) {
    std::mt19937 rng(wl.input * 31u + static_cast<uint32_t>(wl.steps.size()));
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Params p;
    uint32_t prev = wl.input;
    for (const Step& s : wl.steps) {
        std::vector<float> w, b;
        if (s.op == Op::linear) {
            const float scale = 1.0f / std::sqrt(static_cast<float>(prev > 0 ? prev : 1));
            w.resize(size_t{s.size} * prev);
            for (float& f : w) f = u(rng) * scale;
            b.resize(s.size);
            for (float& f : b) f = u(rng) * 0.1f;
            p.flops += 2.0 * double(s.size) * prev;
        } else if (s.op == Op::layer_norm) {
            w.resize(s.size);
            for (float& f : w) f = 1.0f + 0.1f * u(rng);
            b.resize(s.size);
            for (float& f : b) f = 0.1f * u(rng);
        }
        p.weights.push_back(std::move(w));
        p.biases.push_back(std::move(b));
        prev = s.size;
    }
    p.input.resize(wl.input);
    for (float& f : p.input) f = u(rng);
    return p;
}

inline void setCounters(benchmark::State& state, double flops) {
    state.counters["GFLOP/s"] = benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ns_per_pass"] = benchmark::Counter(double(state.iterations()) * 1e-9,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

inline tolvex_model* buildTolvex(const Workload& wl, const Params& p) {
    tolvex_init();
    tolvex_model_definition* def = nullptr;
    if (tolvex_new_model_definition(&def, wl.input) != tolvex_Success) return nullptr;
    bool ok = true;
    for (size_t i = 0; i < wl.steps.size(); ++i) {
        const Step& s = wl.steps[i];
        float* w = const_cast<float*>(p.weights[i].data());
        float* b = const_cast<float*>(p.biases[i].data());
        switch (s.op) {
            case Op::linear: ok &= tolvex_add_linear(def, tolvex_linear{w, b}, s.size) == tolvex_Success; break;
            case Op::layer_norm:
                ok &= tolvex_add_layer_norm(def, tolvex_layer_norm{w, b, kEps}, s.size) == tolvex_Success;
                break;
            case Op::relu: ok &= tolvex_add_relu(def, s.size) == tolvex_Success; break;
            case Op::tanh: ok &= tolvex_add_tanh(def, s.size) == tolvex_Success; break;
            case Op::elu: ok &= tolvex_add_elu(def, tolvex_elu{kEluAlpha}, s.size) == tolvex_Success; break;
            case Op::sigmoid: ok &= tolvex_add_sigmoid(def, s.size) == tolvex_Success; break;
        }
    }
    tolvex_model* net = nullptr;
    if (!ok || tolvex_create(&net, def) != tolvex_Success) net = nullptr;
    tolvex_free_model_definition(def);
    return net;
}

inline std::vector<float> tolvexOutput(tolvex_model* net) {
    const float* out = tolvex_get_output_buffer(net);
    return std::vector<float>(out, out + tolvex_get_output_len(net));
}

#if TOLVEX_HAVE_EIGEN
using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// An element-wise layer over Eigen's arrays, with Eigen's own vectorised
// tanh, logistic and exp; `a` is an array expression it writes in place.
template <class A>
void applyActivation(Op op, A&& a) {
    switch (op) {
        case Op::relu: a = a.max(0.0f); break;
        case Op::tanh: a = a.tanh(); break;
        case Op::elu: a = (a > 0.0f).select(a, kEluAlpha * (a.exp() - 1.0f)); break;
        case Op::sigmoid: a = a.logistic(); break;
        case Op::linear:
        case Op::layer_norm: break;
    }
}

struct EigenNet {
    struct Layer {
        Op op;
        RowMatrix w;               // linear
        Eigen::VectorXf b, out;    // linear: bias and own buffer
        Eigen::ArrayXf scale, shift;  // layer_norm
    };
    std::vector<Layer> layers;

    // Linear layers write their own buffer, the others work in place on it.
    const Eigen::VectorXf& forward(const Eigen::VectorXf& x) {
        const Eigen::VectorXf* in = &x;
        Eigen::VectorXf* cur = nullptr;
        for (Layer& l : layers) {
            switch (l.op) {
                case Op::linear:
                    l.out = l.b;
                    l.out.noalias() += l.w * *in;
                    cur = &l.out;
                    in = cur;
                    break;
                case Op::layer_norm: {
                    const float mean = cur->mean();
                    cur->array() -= mean;
                    const float var = cur->squaredNorm() / static_cast<float>(cur->size());
                    cur->array() = cur->array() / std::sqrt(var + kEps) * l.scale + l.shift;
                    break;
                }
                default: applyActivation(l.op, cur->array()); break;
            }
        }
        return *cur;
    }
};

inline EigenNet buildEigen(const Workload& wl, const Params& p) {
    EigenNet net;
    uint32_t prev = wl.input;
    for (size_t i = 0; i < wl.steps.size(); ++i) {
        const Step& s = wl.steps[i];
        EigenNet::Layer l{s.op, {}, {}, {}, {}, {}};
        if (s.op == Op::linear) {
            l.w = Eigen::Map<const RowMatrix>(p.weights[i].data(), s.size, prev);
            l.b = Eigen::Map<const Eigen::VectorXf>(p.biases[i].data(), s.size);
            l.out.resize(s.size);
        } else if (s.op == Op::layer_norm) {
            l.scale = Eigen::Map<const Eigen::ArrayXf>(p.weights[i].data(), s.size);
            l.shift = Eigen::Map<const Eigen::ArrayXf>(p.biases[i].data(), s.size);
        }
        net.layers.push_back(std::move(l));
        prev = s.size;
    }
    return net;
}

#endif

// Other builds share the machine: besides mean, median and spread over
// repetitions, report the best repetition, the least disturbed one.
inline benchmark::internal::Benchmark* withMin(benchmark::internal::Benchmark* b) {
    return b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->Unit(benchmark::kNanosecond);
}

}  // namespace bench
