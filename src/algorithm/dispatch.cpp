// runLayer: the dispatch on the layer type, and the choice of the kernel
// table. The automatic choice is made once, without a lock: the detection is
// a pure function of the CPU, so two threads racing on the first pass store
// the same pointer.
#include <atomic>

#include "algorithm/algorithm.hpp"
#include "algorithm/kernels.hpp"

namespace tolvex {

namespace {

bool always() { return true; }

#if defined(__x86_64__)
// The compare-and-select kernels are shared with AVX2: they are bound by
// loads and stores. elu, sigmoid and tanh run sixteen-wide.
constexpr KernelTable kAvx512{
    "avx512", cpuHasAvx512, runLinearAvx512, runLayerNormScalar, clipAvx2, eluAvx512,
    reluAvx2, relu6Avx2,    sigmoidAvx512,   tanhAvx512,         leakyReluAvx2,
};
constexpr KernelTable kAvx2{
    "avx2",   cpuHasAvx2, runLinearAvx2, runLayerNormScalar, clipAvx2, eluAvx2,
    reluAvx2, relu6Avx2,  sigmoidAvx2,   tanhAvx2,           leakyReluAvx2,
};
#endif

constexpr KernelTable kBaseline{
    "baseline",   always,         runLinearBaseline, runLayerNormScalar, clipBaseline,      eluScalar,
    reluBaseline, relu6Baseline,  sigmoidScalar,     tanhScalar,         leakyReluBaseline,
};

// Priority order: the first supported entry is the automatic choice.
constexpr const KernelTable* kAll[] = {
#if defined(__x86_64__)
    &kAvx512,
    &kAvx2,
#endif
    &kBaseline,
};
constexpr size_t kCount = sizeof(kAll) / sizeof(kAll[0]);

std::atomic<const KernelTable*> g_active{nullptr};

const KernelTable* firstSupported() {
    for (const KernelTable* t : kAll)
        if (t->supported()) return t;
    return &kBaseline;
}

}  // namespace

Slice<const KernelTable* const> availableImplementations() {
    static const struct List {
        const KernelTable* items[kCount];
        size_t len;
    } list = [] {
        List l{};
        for (const KernelTable* t : kAll)
            if (t->supported()) l.items[l.len++] = t;
        return l;
    }();
    return {list.items, list.len};
}

const KernelTable& activeImplementation() {
    const KernelTable* t = g_active.load(std::memory_order_acquire);
    if (t == nullptr) {
        t = firstSupported();
        g_active.store(t, std::memory_order_release);
    }
    return *t;
}

void forceImplementation(const KernelTable* table) { g_active.store(table, std::memory_order_release); }

void runLinear(const Layer& layer, Slice<const float> input) {
    activeImplementation().linear(layer, input);
    layer.descending = !layer.descending;
}
void runLayerNorm(const Layer& layer, Slice<const float> input) {
    activeImplementation().layer_norm(layer, input);
}
void clip(const Layer& layer, Slice<const float> input) { activeImplementation().clip(layer, input); }
void elu(const Layer& layer, Slice<const float> input) { activeImplementation().elu(layer, input); }
void relu(const Layer& layer, Slice<const float> input) { activeImplementation().relu(layer, input); }
void relu6(const Layer& layer, Slice<const float> input) { activeImplementation().relu6(layer, input); }
void sigmoid(const Layer& layer, Slice<const float> input) { activeImplementation().sigmoid(layer, input); }
void tanh(const Layer& layer, Slice<const float> input) { activeImplementation().tanh(layer, input); }
void leakyRelu(const Layer& layer, Slice<const float> input) {
    activeImplementation().leaky_relu(layer, input);
}

void runLayer(const Layer& layer, Slice<const float> input) {
    switch (layer.cfg.type) {
        case LayerType::linear: return runLinear(layer, input);
        case LayerType::layer_norm: return runLayerNorm(layer, input);
        case LayerType::clip: return clip(layer, input);
        case LayerType::elu: return elu(layer, input);
        case LayerType::relu: return relu(layer, input);
        case LayerType::relu6: return relu6(layer, input);
        case LayerType::sigmoid: return sigmoid(layer, input);
        case LayerType::tanh: return tanh(layer, input);
        case LayerType::leaky_relu: return leakyRelu(layer, input);
    }
}

}  // namespace tolvex
