#include "common/types.hpp"

namespace tolvex {

namespace {

constexpr std::string_view kNames[kLayerTypeCount] = {
    "linear", "layer_norm", "clip", "elu", "relu", "relu6", "sigmoid", "tanh", "leaky_relu",
};

}  // namespace

std::string_view layerTypeToStr(LayerType type) { return kNames[static_cast<uint8_t>(type)]; }

std::optional<LayerType> parseLayerType(std::string_view text) {
    for (uint32_t i = 0; i < kLayerTypeCount; ++i) {
        if (kNames[i] == text) return static_cast<LayerType>(i);
    }
    return std::nullopt;
}

}  // namespace tolvex
