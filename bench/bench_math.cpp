// The correctly rounded exp and tanh at work, one thread, batch 1:
// - the array forms (scalar, and those of each kernel implementation) beside
//   loops over the C library's expf and tanhf;
// - tanh, sigmoid and elu layers of 64 and 4096 values through the public
//   interface, on each kernel implementation, beside the same formulas over
//   the C library's functions;
// - two small policies, W1 (32 -> linear 64 -> tanh -> linear 64 -> tanh ->
//   linear 8) and W5 (67 -> linear 131 -> elu -> linear 29 -> sigmoid), beside
//   Eigen with its fast approximate activations (FMA and every instruction
//   set of the machine allowed);
// - the same policies through forwardPass and through the loop it was before
//   it checked the input length and the input's overlap with the first
//   layer's buffer (Checks/*): the cost of those two tests.
//
// Counter: ns_per_value (activations) or ns_per_pass (policies).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "algorithm/algorithm.hpp"
#include "algorithm/kernels.hpp"
#include "algorithm/math.hpp"
#include "common/model.hpp"
#include "tolvex.h"

#if TOLVEX_HAVE_EIGEN
#include <Eigen/Dense>
#endif

namespace {

std::vector<float> randomVector(size_t n, uint32_t seed, float lo, float hi) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float& f : v) f = u(rng);
    return v;
}

void perValue(benchmark::State& state, size_t n) {
    state.counters["ns_per_value"] = benchmark::Counter(double(n) * double(state.iterations()) * 1e-9,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void perPass(benchmark::State& state) {
    state.counters["ns_per_pass"] = benchmark::Counter(double(state.iterations()) * 1e-9,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Activations of pre-activation size: mostly in [-4, 4], where nothing saturates.
constexpr float kLo = -4.0f, kHi = 4.0f;

// ---------------------------------------------------------------- functions

enum class Act { tanh, sigmoid, elu };
const char* actName(Act a) { return a == Act::tanh ? "tanh" : a == Act::sigmoid ? "sigmoid" : "elu"; }

// The array forms: the scalar loop (null table) or a kernel table's.
using ArrayFn = void (*)(const float*, float*, size_t);
ArrayFn arrayFn(bool tanh, const tolvex::KernelTable* impl) {
    namespace m = tolvex::math;
    if (impl == nullptr) return tanh ? m::tanhArray : m::expArray;
    return tanh ? impl->tanh_array : impl->exp_array;
}

void benchArray(benchmark::State& state, bool tanh, const tolvex::KernelTable* impl, size_t n) {
    std::vector<float> x = randomVector(n, 1, kLo, kHi), y(n);
    const ArrayFn f = arrayFn(tanh, impl);
    for (auto _ : state) {
        f(x.data(), y.data(), n);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    if (y[n / 2] != (tanh ? tolvex::math::tanh(x[n / 2]) : tolvex::math::exp(x[n / 2])))
        state.SkipWithError("wrong result");
    perValue(state, n);
}

void benchLibcArray(benchmark::State& state, bool tanh, size_t n) {
    std::vector<float> x = randomVector(n, 1, kLo, kHi), y(n);
    for (auto _ : state) {
        if (tanh)
            for (size_t i = 0; i < n; ++i) y[i] = tanhf(x[i]);
        else
            for (size_t i = 0; i < n; ++i) y[i] = expf(x[i]);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    perValue(state, n);
}

// ------------------------------------------------------------------- layers

// A model whose only layer is the activation, run through the public interface.
void benchLayer(benchmark::State& state, Act act, size_t n, const tolvex::KernelTable* impl) {
    std::vector<float> x = randomVector(n, 2, kLo, kHi);
    tolvex_init();
    tolvex_model_definition* def = nullptr;
    tolvex_model* net = nullptr;
    uint32_t size = static_cast<uint32_t>(n);
    bool ok = tolvex_new_model_definition(&def, size) == tolvex_Success;
    ok = ok && (act == Act::tanh      ? tolvex_add_tanh(def, size)
                : act == Act::sigmoid ? tolvex_add_sigmoid(def, size)
                                      : tolvex_add_elu(def, tolvex_elu{1.0f}, size)) == tolvex_Success;
    ok = ok && tolvex_create(&net, def) == tolvex_Success;
    if (!ok) {
        state.SkipWithError("model not created");
    } else {
        tolvex::forceImplementation(impl);
        for (auto _ : state) {
            tolvex_forward_pass(net, x.data(), size);
            benchmark::ClobberMemory();
        }
        tolvex::forceImplementation(nullptr);
        perValue(state, n);
    }
    tolvex_free_model(net);
    tolvex_free_model_definition(def);
    tolvex_deinit();
}

void benchLibcLayer(benchmark::State& state, Act act, size_t n) {
    std::vector<float> x = randomVector(n, 2, kLo, kHi), y(n);
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            float v = x[i];
            y[i] = act == Act::tanh      ? tanhf(v)
                   : act == Act::sigmoid ? 1.0f / (1.0f + expf(-v))
                                         : (v > 0.0f ? v : 1.0f * (expf(v) - 1.0f));
        }
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    perValue(state, n);
}

// ----------------------------------------------------------------- policies

struct Dense {
    uint32_t in, out;
    std::vector<float> w, b;
};

Dense makeDense(uint32_t in, uint32_t out, uint32_t seed) {
    float s = 1.0f / std::sqrt(float(in));
    return {in, out, randomVector(size_t{in} * out, seed, -2 * s, 2 * s), randomVector(out, seed + 1, -0.5f, 0.5f)};
}

// W1: 32 -> 64 tanh -> 64 tanh -> 8. W5: 67 -> 131 elu -> 29 sigmoid.
struct Policy {
    const char* name;
    uint32_t input;
    std::vector<Dense> dense;
    std::vector<Act> acts;  // after each dense layer but the last of W1
};

Policy policyW1() { return {"W1", 32, {makeDense(32, 64, 10), makeDense(64, 64, 20), makeDense(64, 8, 30)}, {Act::tanh, Act::tanh}}; }
Policy policyW5() { return {"W5", 67, {makeDense(67, 131, 40), makeDense(131, 29, 50)}, {Act::elu, Act::sigmoid}}; }

// The policy through the public builder, or null when a step fails.
tolvex_model* buildPolicy(const Policy& p) {
    tolvex_model_definition* def = nullptr;
    tolvex_model* net = nullptr;
    bool ok = tolvex_new_model_definition(&def, p.input) == tolvex_Success;
    for (size_t i = 0; ok && i < p.dense.size(); ++i) {
        const Dense& d = p.dense[i];
        ok = tolvex_add_linear(def, tolvex_linear{d.w.data(), d.b.data()}, d.out) == tolvex_Success;
        if (ok && i < p.acts.size())
            ok = (p.acts[i] == Act::tanh      ? tolvex_add_tanh(def, d.out)
                  : p.acts[i] == Act::sigmoid ? tolvex_add_sigmoid(def, d.out)
                                              : tolvex_add_elu(def, tolvex_elu{1.0f}, d.out)) == tolvex_Success;
    }
    if (ok && tolvex_create(&net, def) != tolvex_Success) net = nullptr;
    tolvex_free_model_definition(def);
    return net;
}

void benchPolicy(benchmark::State& state, const Policy& p, const tolvex::KernelTable* impl) {
    std::vector<float> x = randomVector(p.input, 3, -1.0f, 1.0f);
    tolvex_init();
    tolvex_model* net = buildPolicy(p);
    if (net == nullptr) {
        state.SkipWithError("model not created");
    } else {
        tolvex::forceImplementation(impl);
        for (auto _ : state) {
            tolvex_forward_pass(net, x.data(), p.input);
            benchmark::ClobberMemory();
        }
        tolvex::forceImplementation(nullptr);
        perPass(state);
    }
    tolvex_free_model(net);
    tolvex_deinit();
}

// What the checks of a pass cost: the input length compared with the model's
// and the input tested for overlap with the first layer's buffer. The same
// model, on the automatic kernel choice, through forwardPass (checked) and
// through the loop that forwardPass was before the checks (unchecked): the
// layers in order, then the output's NaNs made canonical.
void forwardUnchecked(const tolvex::Model& m, tolvex::Slice<const float> input) {
    tolvex::runLayer(m.layers[0], input);
    for (size_t i = 1; i < m.layers.len; ++i) {
        tolvex::Slice<float> prev = m.layers[i - 1].out_buf;
        tolvex::runLayer(m.layers[i], {prev.ptr, prev.len});
    }
    tolvex::canonicalizeOutput(m.layers[m.layers.len - 1].out_buf);
}

void benchPolicyChecks(benchmark::State& state, const Policy& p, bool checked) {
    std::vector<float> x = randomVector(p.input, 3, -1.0f, 1.0f);
    tolvex_init();
    tolvex_model* net = buildPolicy(p);
    if (net == nullptr) {
        state.SkipWithError("model not created");
    } else {
        const tolvex::Model& m = *reinterpret_cast<const tolvex::Model*>(net);
        const tolvex::Slice<const float> in{x.data(), x.size()};
        if (checked) {
            for (auto _ : state) {
                tolvex::forwardPass(m, in);
                benchmark::ClobberMemory();
            }
        } else {
            for (auto _ : state) {
                forwardUnchecked(m, in);
                benchmark::ClobberMemory();
            }
        }
        perPass(state);
    }
    tolvex_free_model(net);
    tolvex_deinit();
}

#if TOLVEX_HAVE_EIGEN
using RowMajor = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

void benchEigenPolicy(benchmark::State& state, const Policy& p) {
    std::vector<RowMajor> w;
    std::vector<Eigen::VectorXf> b, h;
    for (const Dense& d : p.dense) {
        w.push_back(Eigen::Map<const RowMajor>(d.w.data(), d.out, d.in));
        b.push_back(Eigen::Map<const Eigen::VectorXf>(d.b.data(), d.out));
        h.emplace_back(d.out);
    }
    Eigen::VectorXf x = Eigen::Map<const Eigen::VectorXf>(randomVector(p.input, 3, -1.0f, 1.0f).data(), p.input);
    for (auto _ : state) {
        const Eigen::VectorXf* in = &x;
        for (size_t i = 0; i < p.dense.size(); ++i) {
            h[i].noalias() = b[i];
            h[i].noalias() += w[i] * *in;
            if (i < p.acts.size()) {
                auto a = h[i].array();
                if (p.acts[i] == Act::tanh)
                    a = a.tanh();
                else if (p.acts[i] == Act::sigmoid)
                    a = a.logistic();
                else
                    a = (a > 0.0f).select(a, a.exp() - 1.0f);
            }
            in = &h[i];
        }
        benchmark::DoNotOptimize(h.back().data());
        benchmark::ClobberMemory();
    }
    perPass(state);
}
#endif

void registerAll() {
    for (size_t n : {size_t{64}, size_t{4096}}) {
        for (bool tanh : {false, true}) {
            std::string base = std::string("Array/") + (tanh ? "tanh/" : "exp/") + std::to_string(n) + "/";
            benchmark::RegisterBenchmark((base + "scalar").c_str(), benchArray, tanh, nullptr, n);
            for (const tolvex::KernelTable* impl : tolvex::availableImplementations())
                benchmark::RegisterBenchmark((base + impl->name).c_str(), benchArray, tanh, impl, n);
            benchmark::RegisterBenchmark((base + "libc").c_str(), benchLibcArray, tanh, n);
        }
    }
    for (Act act : {Act::tanh, Act::sigmoid, Act::elu}) {
        for (size_t n : {size_t{64}, size_t{4096}}) {
            std::string base = std::string("Layer/") + actName(act) + "/" + std::to_string(n) + "/";
            for (const tolvex::KernelTable* impl : tolvex::availableImplementations())
                benchmark::RegisterBenchmark((base + impl->name).c_str(), benchLayer, act, n, impl);
            benchmark::RegisterBenchmark((base + "libc").c_str(), benchLibcLayer, act, n);
        }
    }
    static const Policy policies[] = {policyW1(), policyW5()};
    for (const Policy& p : policies) {
        for (const tolvex::KernelTable* impl : tolvex::availableImplementations())
            benchmark::RegisterBenchmark((std::string("Policy/") + p.name + "/" + impl->name).c_str(), benchPolicy, p,
                                         impl);
#if TOLVEX_HAVE_EIGEN
        benchmark::RegisterBenchmark((std::string("Policy/") + p.name + "/eigen").c_str(), benchEigenPolicy, p);
#endif
    }
    // The checks on W1 and W5, and on a model with almost nothing to compute
    // (1 -> linear 1), where the difference is the checks' cost in
    // nanoseconds with the least around it. A nanosecond or two is in
    // question: run with many repetitions, interleaved, and compare the
    // minima, which other load on the machine can only raise.
    static const Policy tiny{"tiny", 1, {makeDense(1, 1, 60)}, {}};
    for (const Policy* p : {&policies[0], &policies[1], &tiny})
        for (bool checked : {false, true})
            benchmark::RegisterBenchmark(
                (std::string("Checks/") + p->name + (checked ? "/checked" : "/unchecked")).c_str(),
                benchPolicyChecks, *p, checked)
                ->ComputeStatistics("min", [](const std::vector<double>& v) {
                    return *std::min_element(v.begin(), v.end());
                });
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
