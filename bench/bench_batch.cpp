// Many inputs per call, one thread: W1, W2, W3 and W5 (bench/workloads.hpp)
// at batches of 1, 8, 64 and 256 inputs, side by side:
//  - tolvex_batch: every input of the batch in one call;
//  - tolvex_loop: one tolvex_forward_pass per input;
//  - eigen_gemm: each linear layer as one matrix-matrix product over the
//    batch (Eigen, FMA and every instruction set allowed), the activations
//    over the whole batch as arrays.
// Counter: ns_per_input. After the timed loop, the batch's outputs are
// compared bit for bit with the single passes, Eigen's within rounding.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "workloads.hpp"

namespace {

using namespace bench;

constexpr int kBatches[] = {1, 8, 64, 256};

std::vector<float> batchInputs(const Workload& wl, size_t count) {
    std::mt19937 rng(7u + static_cast<uint32_t>(count));
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(count * wl.input);
    for (float& f : x) f = u(rng);
    return x;
}

void perInput(benchmark::State& state, size_t count) {
    state.counters["ns_per_input"] = benchmark::Counter(double(count) * double(state.iterations()) * 1e-9,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The single passes' outputs, row after row.
std::vector<float> loopOutputs(tolvex_model* net, const Workload& wl, const std::vector<float>& x, size_t count) {
    std::vector<float> out;
    for (size_t s = 0; s < count; ++s) {
        tolvex_forward_pass(net, x.data() + s * wl.input, wl.input);
        const std::vector<float> one = tolvexOutput(net);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

void benchBatch(benchmark::State& state, const Workload* wl, size_t count) {
    const Params p = makeParams(*wl);
    tolvex_model* net = buildTolvex(*wl, p);
    if (net == nullptr) return state.SkipWithError("model construction failed");
    const std::vector<float> x = batchInputs(*wl, count);
    std::vector<float> y(count * tolvex_get_output_len(net));
    for (auto _ : state) {
        tolvex_forward_batch(net, x.data(), wl->input, static_cast<uint32_t>(count), y.data());
        benchmark::ClobberMemory();
    }
    const std::vector<float> want = loopOutputs(net, *wl, x, count);
    if (std::memcmp(y.data(), want.data(), y.size() * sizeof(float)) != 0)
        state.SkipWithError("batch output differs from the single passes");
    tolvex_free_model(net);
    perInput(state, count);
}

void benchLoop(benchmark::State& state, const Workload* wl, size_t count) {
    const Params p = makeParams(*wl);
    tolvex_model* net = buildTolvex(*wl, p);
    if (net == nullptr) return state.SkipWithError("model construction failed");
    const std::vector<float> x = batchInputs(*wl, count);
    for (auto _ : state) {
        for (size_t s = 0; s < count; ++s) tolvex_forward_pass(net, x.data() + s * wl->input, wl->input);
        benchmark::ClobberMemory();
    }
    tolvex_free_model(net);
    perInput(state, count);
}

#if TOLVEX_HAVE_EIGEN
using ColMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic>;

void benchEigenGemm(benchmark::State& state, const Workload* wl, size_t count) {
    const Params p = makeParams(*wl);
    const EigenNet net = buildEigen(*wl, p);
    const std::vector<float> xin = batchInputs(*wl, count);
    // One column per input; each linear layer writes a matrix of its own.
    const ColMatrix x = Eigen::Map<const ColMatrix>(xin.data(), wl->input, static_cast<Eigen::Index>(count));
    std::vector<ColMatrix> outs(net.layers.size());
    for (size_t i = 0; i < net.layers.size(); ++i)
        if (net.layers[i].op == Op::linear) outs[i].resize(net.layers[i].w.rows(), static_cast<Eigen::Index>(count));
    const ColMatrix* last = nullptr;
    for (auto _ : state) {
        const ColMatrix* in = &x;
        ColMatrix* cur = nullptr;
        for (size_t i = 0; i < net.layers.size(); ++i) {
            const EigenNet::Layer& l = net.layers[i];
            switch (l.op) {
                case Op::linear:
                    outs[i].noalias() = l.w * *in;
                    outs[i].colwise() += l.b;
                    cur = &outs[i];
                    in = cur;
                    break;
                case Op::layer_norm:
                    for (Eigen::Index c = 0; c < cur->cols(); ++c) {
                        auto col = cur->col(c).array();
                        const float mean = col.mean();
                        col -= mean;
                        const float var = col.square().sum() / static_cast<float>(col.size());
                        col = col / std::sqrt(var + kEps) * l.scale + l.shift;
                    }
                    break;
                default: applyActivation(l.op, cur->array()); break;
            }
        }
        last = cur;
        benchmark::DoNotOptimize(last->data());
        benchmark::ClobberMemory();
    }
    tolvex_model* ref = buildTolvex(*wl, p);
    const std::vector<float> want = loopOutputs(ref, *wl, xin, count);
    tolvex_free_model(ref);
    for (size_t i = 0; i < want.size(); ++i)
        if (std::fabs(want[i] - last->data()[i]) > 1e-3f * (1.0f + std::fabs(want[i])))
            return state.SkipWithError("Eigen result differs from tolvex beyond rounding");
    perInput(state, count);
}
#endif

void registerAll() {
    for (const Workload& wl : workloads()) {
        if (std::string(wl.name) == "W4") continue;
        for (int count : kBatches) {
            const std::string base = std::string("batch/") + wl.name + "/" + std::to_string(count) + "/";
            withMin(benchmark::RegisterBenchmark((base + "tolvex_batch").c_str(), benchBatch, &wl, size_t(count)));
            withMin(benchmark::RegisterBenchmark((base + "tolvex_loop").c_str(), benchLoop, &wl, size_t(count)));
#if TOLVEX_HAVE_EIGEN
            withMin(benchmark::RegisterBenchmark((base + "eigen_gemm").c_str(), benchEigenGemm, &wl, size_t(count)));
#endif
        }
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
