// One fully connected layer at batch 1, one thread: tolvex on each kernel
// implementation, Eigen's matrix-vector product (row-major, FMA and every
// instruction set of the machine allowed), and the load bound: one pass that
// only adds up the same number of weight bytes, with the widest loads the
// build has (AVX2 and AVX-512 where the machine has them, 16-byte vectors
// elsewhere).
//
// Counters: ns_per_pass, and GFLOP/s at 2 flops per weight.
#include <benchmark/benchmark.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "algorithm/kernels.hpp"
#include "tolvex.h"

// GCC 12 reports the deliberately undefined operand inside some AVX-512
// intrinsics (used here and by Eigen) as uninitialized (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#if TOLVEX_HAVE_EIGEN
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
using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Same sums in another order: close to the exact product, not equal.
void checkEigen(benchmark::State& state, const LayerData& d, const Eigen::VectorXf& y) {
    const Shape s = d.shape;
    for (uint32_t n = 0; n < s.out; ++n) {
        double acc = d.biases[n];
        for (uint32_t j = 0; j < s.in; ++j) acc += double(d.weights[size_t{n} * s.in + j]) * d.input[j];
        if (std::fabs(acc - y[n]) > 1e-3 * (1.0 + std::fabs(acc))) state.SkipWithError("Eigen result is off");
    }
}

// Eigen on its own copy of the matrix, which Eigen aligns to 64 bytes.
void benchEigen(benchmark::State& state, Shape s) {
    const LayerData d = makeLayer(s);
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
    checkEigen(state, d, y);
    setCounters(state, s);
}

// Eigen mapped over malloc'd arrays, aligned like the model's own arrays
// (16 bytes): the same memory layout tolvex works on.
void benchEigenMapped(benchmark::State& state, Shape s) {
    const LayerData d = makeLayer(s);
    const Eigen::Map<const RowMatrix> w(d.weights.data(), s.out, s.in);
    const Eigen::Map<const Eigen::VectorXf> b(d.biases.data(), s.out), x(d.input.data(), s.in);
    Eigen::VectorXf y(s.out);
    for (auto _ : state) {
        y = b;
        y.noalias() += w * x;
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    checkEigen(state, d, y);
    setCounters(state, s);
}
#endif

// Reads every weight once and adds them up in 8 independent chains: the time
// any kernel needs just to bring the weights in. Reading starts at the first
// cache line boundary so no load straddles two lines (the few floats before
// it are left out), with 16-byte, 32-byte (AVX2) or 64-byte (AVX-512) loads.
float sumVec16(const float* w, size_t n) {
    typedef float V __attribute__((vector_size(16)));
    V a[8] = {};
    for (size_t i = 0; i + 32 <= n; i += 32)
        for (size_t k = 0; k < 8; ++k) a[k] += *reinterpret_cast<const V*>(w + i + 4 * k);
    for (size_t k = 1; k < 8; ++k) a[0] += a[k];
    return a[0][0] + a[0][1] + a[0][2] + a[0][3];
}

#if defined(__AVX2__)
float sumAvx2(const float* w, size_t n) {
    __m256 a[8];
    for (__m256& v : a) v = _mm256_setzero_ps();
    for (size_t i = 0; i + 64 <= n; i += 64)
        for (size_t k = 0; k < 8; ++k) a[k] = _mm256_add_ps(a[k], _mm256_load_ps(w + i + 8 * k));
    for (size_t k = 1; k < 8; ++k) a[0] = _mm256_add_ps(a[0], a[k]);
    float lanes[8];
    _mm256_storeu_ps(lanes, a[0]);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
}
#endif

#if defined(__AVX512F__)
float sumAvx512(const float* w, size_t n) {
    __m512 a[8];
    for (__m512& v : a) v = _mm512_setzero_ps();
    for (size_t i = 0; i + 128 <= n; i += 128)
        for (size_t k = 0; k < 8; ++k) a[k] = _mm512_add_ps(a[k], _mm512_load_ps(w + i + 16 * k));
    for (size_t k = 1; k < 8; ++k) a[0] = _mm512_add_ps(a[0], a[k]);
    return _mm512_reduce_add_ps(a[0]);
}
#endif

void benchLoadBound(benchmark::State& state, Shape s, float (*sum)(const float*, size_t)) {
    const LayerData d = makeLayer(s);
    const size_t skip = (64 - reinterpret_cast<uintptr_t>(d.weights.data()) % 64) % 64 / sizeof(float);
    const float* w = d.weights.data() + skip;
    const size_t n = d.weights.size() - skip;
    float total = 0.0f;
    for (auto _ : state) {
        total = sum(w, n);
        benchmark::DoNotOptimize(total);
    }
    if (!std::isfinite(total)) state.SkipWithError("load-bound sum is not finite");
    setCounters(state, s);
}

std::string shapeName(Shape s) { return std::to_string(s.in) + "x" + std::to_string(s.out); }

// Other builds share the machine: besides mean, median and spread over
// repetitions, report the best repetition, the least disturbed one.
benchmark::internal::Benchmark* withMin(benchmark::internal::Benchmark* b) {
    return b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->Unit(benchmark::kNanosecond);
}

void registerAll() {
    for (Shape s : kShapes) {
        for (const tolvex::KernelTable* impl : tolvex::availableImplementations())
            withMin(benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/tolvex_" + impl->name).c_str(), benchTolvex,
                                         s, impl));
#if TOLVEX_HAVE_EIGEN
        withMin(benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/eigen").c_str(), benchEigen, s));
        withMin(benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/eigen_mapped").c_str(), benchEigenMapped, s));
#endif
        withMin(benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/load_bound_vec16").c_str(), benchLoadBound, s,
                                             sumVec16));
#if defined(__AVX2__)
        withMin(benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/load_bound_avx2").c_str(), benchLoadBound, s,
                                             sumAvx2));
#endif
#if defined(__AVX512F__)
        withMin(benchmark::RegisterBenchmark(("linear/" + shapeName(s) + "/load_bound_avx512").c_str(), benchLoadBound,
                                             s, sumAvx512));
#endif
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
