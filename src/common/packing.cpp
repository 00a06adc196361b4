// The packed copies of a model's linear layers, in the layout of the active
// kernel implementation.
#include "algorithm/kernels.hpp"
#include "common/model.hpp"

namespace tolvex {

Status packLinearLayers(Model& model) {
    const PackedLayout* layout = activeImplementation().packing;
    if (layout == nullptr) return {};
    for (size_t k = 0; k < model.layers.len; ++k) {
        Layer& layer = model.layers[k];
        layer.packed = TOLVEX_TRY(layout->pack(model.allocator, layer, inputSize(model, static_cast<uint32_t>(k))));
    }
    return {};
}

}  // namespace tolvex
