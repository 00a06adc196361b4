// runLayer: the dispatch on the layer type, and the choice of the kernel
// table. The automatic choice is made once, without a lock: the detection is
// a pure function of the CPU, so two threads racing on the first pass store
// the same pointer.
#include <atomic>

#include "algorithm/algorithm.hpp"
#include "algorithm/kernels.hpp"

namespace tolvex {

// The implementations, one line each, in priority order: the first one the
// CPU supports is the automatic choice. Each folder of the same name defines
// its table on every architecture; on a foreign one it is an empty table that
// is never supported.
#define TOLVEX_IMPLEMENTATIONS(X) \
    X(avx512)                     \
    X(avx2)                       \
    X(neon)                       \
    X(baseline)

#define TOLVEX_DECLARE_TABLE_(isa) \
    namespace isa {                \
    extern const KernelTable kTable; \
    }
TOLVEX_IMPLEMENTATIONS(TOLVEX_DECLARE_TABLE_)
#undef TOLVEX_DECLARE_TABLE_

namespace {

#define TOLVEX_TABLE_ADDRESS_(isa) &isa::kTable,
constexpr const KernelTable* kAll[] = {TOLVEX_IMPLEMENTATIONS(TOLVEX_TABLE_ADDRESS_)};
#undef TOLVEX_TABLE_ADDRESS_
constexpr size_t kCount = sizeof(kAll) / sizeof(kAll[0]);

bool runsHere(const KernelTable* t) { return t->supported != nullptr && t->supported(); }

std::atomic<const KernelTable*> g_active{nullptr};

}  // namespace

Slice<const KernelTable* const> availableImplementations() {
    static const struct List {
        const KernelTable* items[kCount];
        size_t len;
    } list = [] {
        List l{};
        for (const KernelTable* t : kAll)
            if (runsHere(t)) l.items[l.len++] = t;
        return l;
    }();
    return {list.items, list.len};
}

const KernelTable& activeImplementation() {
    const KernelTable* t = g_active.load(std::memory_order_acquire);
    if (t == nullptr) {
        t = availableImplementations()[0];
        g_active.store(t, std::memory_order_release);
    }
    return *t;
}

void forceImplementation(const KernelTable* table) { g_active.store(table, std::memory_order_release); }

void runLinear(const Layer& layer, Slice<const float> input) {
    activeImplementation().linear(layer, input);
    layer.descending = !layer.descending;
}
void runLinearBatch(const Layer& layer, const float* x, size_t x_stride, size_t L, size_t count, float* y,
                    size_t y_stride) {
    activeImplementation().linear_batch(layer, x, x_stride, L, count, y, y_stride);
}
void runLayerNorm(const Layer& layer, Slice<const float> input) {
    activeImplementation().layer_norm(layer, input);
}
void runLayerNormRows(const Layer& layer, const float* x, float* y, size_t rows, size_t width, size_t stride) {
    activeImplementation().layer_norm_rows(layer, x, y, rows, width, stride);
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

void canonicalizeOutput(Slice<float> out) { activeImplementation().canonicalize_nans(out.ptr, out.ptr, out.len); }

void copyCanonicalOutput(const float* x, float* y, size_t n) { activeImplementation().canonicalize_nans(x, y, n); }

}  // namespace tolvex
