// One fully connected layer at batch 1, one thread: tolvex on each kernel
// implementation, Eigen's matrix-vector product (row-major, FMA and every
// instruction set of the machine allowed), and the load bound: one AVX2 pass
// that only adds up the same weight bytes.
//
// Counters: ns_per_pass, and GFLOP/s at 2 flops per weight.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "algorithm/kernels.hpp"
#include "tolvex.h"

#if TOLVEX_HAVE_EIGEN
// GCC 12 reports the deliberately undefined operand inside some AVX-512
// intrinsics that Eigen uses as maybe-uninitialized (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <Eigen/Dense>
#endif

namespace {

struct Shape {
    uint32_t in, out;
};
constexpr Shape kShapes[] = {{32, 64}, {64, 64}, {256, 512}, {1024, 1024}, {4096, 4096}};

struct LayerData {
    Shape shape;
    std::vector<float> weights, biases, input;
};

LayerData makeLayer(Shape s) {
    std::mt19937 rng(s.in * 7919u + s.out);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    LayerData d{s, std::vector<float>(size_t{s.in} * s.out), std::vector<float>(s.out), std::vector<float>(s.in)};
    for (float& f : d.weights) f = u(rng);
    for (float& f : d.biases) f = u(rng);
    for (float& f : d.input) f = u(rng);
    return d;
}

void setCounters(benchmark::State& state, const Shape& s) {
    const double weights = double(s.in) * s.out;
    state.counters["GFLOP/s"] = benchmark::Counter(2.0 * weights * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ns_per_pass"] = benchmark::Counter(double(state.iterations()) * 1e-9,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// tolvex through the public interface, on one forced implementation.
void benchTolvex(benchmark::State& state, Shape s, const tolvex::KernelTable* impl) {
    const LayerData d = makeLayer(s);
    tolvex_init();
    tolvex_model_definition* def = nullptr;
    tolvex_model* net = nullptr;
    if (tolvex_new_model_definition(&def, s.in) != tolvex_Success ||
        tolvex_add_linear(def, tolvex_linear{d.weights.data(), d.biases.data()}, s.out) != tolvex_Success ||
        tolvex_create(&net, def) != tolvex_Success) {
        state.SkipWithError("model construction failed");
        return;
    }
    tolvex_free_model_definition(def);

    // The reference result: the baseline implementation, computed up front.
    tolvex::forceImplementation(tolvex::availableImplementations().end()[-1]);
    tolvex_forward_pass(net, d.input.data(), s.in);
    const std::vector<float> want(tolvex_get_output_buffer(net), tolvex_get_output_buffer(net) + s.out);

    tolvex::forceImplementation(impl);
    for (auto _ : state) {
        tolvex_forward_pass(net, d.input.data(), s.in);
        benchmark::ClobberMemory();
    }
    if (std::memcmp(want.data(), tolvex_get_output_buffer(net), s.out * sizeof(float)) != 0)
        state.SkipWithError("output differs from the baseline implementation");
    tolvex::forceImplementation(nullptr);
    tolvex_free_model(net);
    setCounters(state, s);
}

#if TOLVEX_HAVE_EIGEN
void benchEigen(benchmark::State& state, Shape s) {
    const LayerData d = makeLayer(s);
    using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    const RowMatrix w = Eigen::Map<const RowMatrix>(d.weights.data(), s.out, s.in);
    const Eigen::VectorXf b = Eigen::Map<const Eigen::VectorXf>(d.biases.data(), s.out);
    const Eigen::VectorXf x = Eigen::Map<const Eigen::VectorXf>(d.input.data(), s.in);
    Eigen::VectorXf y(s.out);
    for (auto _ : state) {
        y = b;
        y.noalias() += w * x;
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    // Same sums in another order: close, not equal.
    std::vector<float> check(s.out);
    for (uint32_t n = 0; n < s.out; ++n) {
        double acc = d.biases[n];
        for (uint32_t j = 0; j < s.in; ++j) acc += double(d.weights[size_t{n} * s.in + j]) * d.input[j];
        if (std::fabs(acc - y[n]) > 1e-3 * (1.0 + std::fabs(acc))) state.SkipWithError("Eigen result is off");
    }
    setCounters(state, s);
}
#endif

// Reads every weight once with AVX2 loads and adds them up in 8 independent
// chains: the time any kernel needs just to bring the weights in.
void benchLoadBound(benchmark::State& state, Shape s) {
    const LayerData d = makeLayer(s);
    const float* w = d.weights.data();
    const size_t n = d.weights.size();  // a multiple of 64 for every shape here
    float total = 0.0f;
    for (auto _ : state) {
        __m256 a[8];
        for (__m256& v : a) v = _mm256_setzero_ps();
        for (size_t i = 0; i < n; i += 64)
            for (size_t k = 0; k < 8; ++k) a[k] = _mm256_add_ps(a[k], _mm256_loadu_ps(w + i + 8 * k));
        __m256 t = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a[0], a[1]), _mm256_add_ps(a[2], a[3])),
                                 _mm256_add_ps(_mm256_add_ps(a[4], a[5]), _mm256_add_ps(a[6], a[7])));
        float lanes[8];
        _mm256_storeu_ps(lanes, t);
        total = lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
        benchmark::DoNotOptimize(total);
    }
    if (!std::isfinite(total)) state.SkipWithError("load-bound sum is not finite");
    setCounters(state, s);
}

std::string shapeName(Shape s) { return std::to_string(s.in) + "x" + std::to_string(s.out); }

void registerAll() {
    for (Shape s : kShapes) {
        for (const tolvex::KernelTable* impl : tolvex::availableImplementations())
            benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/tolvex_" + impl->name).c_str(), benchTolvex,
                                         s, impl);
#if TOLVEX_HAVE_EIGEN
        benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/eigen").c_str(), benchEigen, s);
#endif
        benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/load_bound").c_str(), benchLoadBound, s);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
