// Building a model from layer definitions, and taking models apart. The
// teardown helpers also clean up the file loaders' half-built models.
#include <cstring>

#include "common/model.hpp"
#include "algorithm/packed_layout.hpp"
#include "util/util.hpp"

namespace tolvex {

namespace {

// A copy of n floats from the host, or an empty slice for n == 0.
Result<Slice<float>> copyFloats(Allocator a, const float* src, size_t n) {
    Slice<float> dst = TOLVEX_TRY(a.allocArray<float>(n));
    if (n != 0) std::memcpy(dst.ptr, src, n * sizeof(float));
    return dst;
}

Status buildLayer(Model& model, size_t i, const LayerDefinition& d, uint32_t prev_size, PartialLayer& p) {
    LayerType type = d.cfg.type;
    if (type != LayerType::linear && d.size != prev_size) return fail(Error::WrongLayerSize);

    if (i == 0 || shouldAllocOutBuf(type)) {
        p.out_buf = TOLVEX_TRY(model.allocator.allocArray<float>(d.size));
        p.owns_out_buf = true;
    } else {
        p.out_buf = model.layers[i - 1].out_buf;
    }

    Layer& layer = model.layers[i];
    layer = Layer{};
    layer.cfg = d.cfg;
    switch (type) {
        case LayerType::linear: {
            // A count that wraps in 32 bits would leave the kernel reading past
            // the array, so it is refused.
            uint64_t num_weights = uint64_t{d.size} * prev_size;
            if (num_weights > UINT32_MAX) return fail(Error::OutOfMemory);
            p.weights = TOLVEX_TRY(copyFloats(model.allocator, d.cfg.linear.weights, num_weights));
            p.biases = TOLVEX_TRY(copyFloats(model.allocator, d.cfg.linear.biases, d.size));
            layer.cfg.linear.weights = p.weights.ptr;
            layer.cfg.linear.biases = p.biases.ptr;
            break;
        }
        case LayerType::layer_norm:
            p.weights = TOLVEX_TRY(copyFloats(model.allocator, d.cfg.layer_norm.weights, d.size));
            p.biases = TOLVEX_TRY(copyFloats(model.allocator, d.cfg.layer_norm.biases, d.size));
            layer.cfg.layer_norm.weights = p.weights.ptr;
            layer.cfg.layer_norm.biases = p.biases.ptr;
            break;
        default:
            break;  // parameters, if any, were copied by value with cfg
    }
    layer.out_buf = p.out_buf;
    return {};
}

}  // namespace

Result<Model> create(Allocator allocator, Slice<const LayerDefinition> defs, uint32_t input_size) {
    Model model;
    model.allocator = allocator;
    model.input_size = input_size;
    model.layers = TOLVEX_TRY(allocator.allocArray<Layer>(defs.len));

    uint32_t prev_size = input_size;
    for (size_t i = 0; i < defs.len; ++i) {
        PartialLayer p{allocator, {}, {}, {}, false};
        Status s = buildLayer(model, i, defs[i], prev_size, p);
        if (!s) {
            p.release();
            freeLayers(model, i);
            freeOutBufs(model, i);
            allocator.freeArray(model.layers);
            return fail(s.error());
        }
        prev_size = defs[i].size;
    }
    return model;
}

void freeLayers(const Model& model, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        const Layer& layer = model.layers[k];
        size_t len = layer.out_buf.len;
        switch (layer.cfg.type) {
            case LayerType::linear:
                model.allocator.freeArray(layer.cfg.linear.weights, len * inputSize(model, static_cast<uint32_t>(k)));
                model.allocator.freeArray(layer.cfg.linear.biases, len);
                break;
            case LayerType::layer_norm:
                model.allocator.freeArray(layer.cfg.layer_norm.weights, len);
                model.allocator.freeArray(layer.cfg.layer_norm.biases, len);
                break;
            default:
                break;
        }
    }
}

void freeOutBufs(const Model& model, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        const Layer& layer = model.layers[k];
        if (k == 0 || shouldAllocOutBuf(layer.cfg.type)) model.allocator.freeArray(layer.out_buf);
    }
}

void deinit(const Model& model) {
    for (const Layer& layer : model.layers) freePacked(model.allocator, layer.packed);
    freeLayers(model, model.layers.len);
    freeOutBufs(model, model.layers.len);
    model.allocator.freeArray(model.layers);
}

}  // namespace tolvex
