// Whole networks (bench/workloads.hpp) at batch 1, one thread: tolvex on each
// kernel implementation beside the same networks in Eigen (its own vectorised
// tanh, logistic and exp through array operations; FMA and every instruction
// set allowed).
//
// Counters: ns_per_pass, and GFLOP/s counting 2 flops per linear weight.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "algorithm/kernels.hpp"
#include "tolvex.h"
#include "workloads.hpp"

namespace {

using namespace bench;

void benchTolvex(benchmark::State& state, const Workload* wl, const tolvex::KernelTable* impl) {
    const Params p = makeParams(*wl);
    tolvex_model* net = buildTolvex(*wl, p);
    if (net == nullptr) {
        state.SkipWithError("model construction failed");
        return;
    }
    tolvex::forceImplementation(tolvex::availableImplementations().end()[-1]);
    tolvex_forward_pass(net, p.input.data(), wl->input);
    const std::vector<float> want = tolvexOutput(net);

    tolvex::forceImplementation(impl);
    for (auto _ : state) {
        tolvex_forward_pass(net, p.input.data(), wl->input);
        benchmark::ClobberMemory();
    }
    if (std::memcmp(want.data(), tolvex_get_output_buffer(net), want.size() * sizeof(float)) != 0)
        state.SkipWithError("output differs from the baseline implementation");
    tolvex::forceImplementation(nullptr);
    tolvex_free_model(net);
    setCounters(state, p.flops);
}

#if TOLVEX_HAVE_EIGEN
void benchEigen(benchmark::State& state, const Workload* wl) {
    const Params p = makeParams(*wl);
    EigenNet net = buildEigen(*wl, p);
    const Eigen::VectorXf x = Eigen::Map<const Eigen::VectorXf>(p.input.data(), wl->input);
    const Eigen::VectorXf* out = nullptr;
    for (auto _ : state) {
        out = &net.forward(x);
        benchmark::DoNotOptimize(out->data());
        benchmark::ClobberMemory();
    }
    // Other order of sums, other tanh/exp: close to tolvex, not equal.
    tolvex_model* ref = buildTolvex(*wl, p);
    if (ref == nullptr || out == nullptr) {
        state.SkipWithError("no result to check");
        return;
    }
    tolvex_forward_pass(ref, p.input.data(), wl->input);
    const std::vector<float> want = tolvexOutput(ref);
    tolvex_free_model(ref);
    for (size_t i = 0; i < want.size(); ++i)
        if (std::fabs(want[i] - (*out)[i]) > 1e-3f * (1.0f + std::fabs(want[i])))
            state.SkipWithError("Eigen result differs from tolvex beyond rounding");
    setCounters(state, p.flops);
}
#endif

void registerAll() {
    for (const Workload& wl : workloads()) {
        for (const tolvex::KernelTable* impl : tolvex::availableImplementations())
            withMin(benchmark::RegisterBenchmark((std::string("workload/") + wl.name + "/tolvex_" + impl->name).c_str(),
                                         benchTolvex, &wl, impl));
#if TOLVEX_HAVE_EIGEN
        withMin(benchmark::RegisterBenchmark((std::string("workload/") + wl.name + "/eigen").c_str(), benchEigen, &wl));
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
