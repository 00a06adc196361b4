// Building a model from layer definitions, and taking models apart. The
// teardown helpers also clean up half-built models (ModelAssembler).
#include <cstring>

#include "common/model.hpp"
#include "algorithm/packed_layout.hpp"
#include "util/util.hpp"

namespace tolvex {

namespace {

// Copies n floats from the host into an array the assembler hands out.
Status copyFloats(Result<float*> dst, const float* src, size_t n) {
    if (!dst) return fail(dst.error());
    if (n != 0) std::memcpy(*dst, src, n * sizeof(float));
    return {};
}

Status addLayer(ModelAssembler& assembler, const LayerDefinition& d) {
    const LayerType type = d.cfg.type;
    const uint32_t in = assembler.nextInputSize();
    if (type != LayerType::linear && d.size != in) return fail(Error::WrongLayerSize);
    switch (type) {
        case LayerType::linear: {
            // A count that wraps in 32 bits would leave the kernel reading past
            // the array, so it is refused.
            const uint64_t num_weights = uint64_t{d.size} * in;
            if (num_weights > UINT32_MAX) return fail(Error::OutOfMemory);
            TOLVEX_CHECK(copyFloats(assembler.weights(num_weights), d.cfg.linear.weights, num_weights));
            TOLVEX_CHECK(copyFloats(assembler.biases(d.size), d.cfg.linear.biases, d.size));
            break;
        }
        case LayerType::layer_norm:
            TOLVEX_CHECK(copyFloats(assembler.weights(d.size), d.cfg.layer_norm.weights, d.size));
            TOLVEX_CHECK(copyFloats(assembler.biases(d.size), d.cfg.layer_norm.biases, d.size));
            break;
        default:
            break;  // parameters, if any, are copied by value with cfg
    }
    return assembler.append(d.cfg, d.size);
}

}  // namespace

Result<Model> create(Allocator allocator, Slice<const LayerDefinition> defs, uint32_t input_size, Packing packing) {
    ModelAssembler assembler(allocator);
    TOLVEX_CHECK(assembler.begin(input_size, defs.len));
    for (const LayerDefinition& d : defs) TOLVEX_CHECK(addLayer(assembler, d));
    return assembler.finish(packing);
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
    model.allocator.freeArray(model.scratch);
    model.allocator.freeArray(model.layers);
}

}  // namespace tolvex
