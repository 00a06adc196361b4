// Small models that together use every layer type, described as data so that
// a test can build them through the exported builder, write them to files and
// compare what comes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/types.hpp"
#include "tolvex.h"

namespace tolvex::testing {

struct LayerPlan {
    LayerType type;
    uint32_t size;
    std::vector<float> weights, biases;  // linear and layer_norm
    float a = 0, b = 0;                  // eps, min/max, alpha, negative_slope
};

struct ModelPlan {
    std::string name;
    uint32_t input_size;
    std::vector<LayerPlan> layers;
};

// Every layer type, activations first, zero sizes, odd widths, no layers.
// `seed` varies the weights and parameters so that different seeds give
// different models of the same shapes.
std::vector<ModelPlan> sampleModels(uint32_t seed);

// One tolvex_add_* call for the layer.
tolvex_result addLayer(tolvex_model_definition* def, const LayerPlan& layer);

// tolvex_new_model_definition and one tolvex_add_* per layer; on failure the
// definition is freed and *def is NULL.
tolvex_result buildDefinition(const ModelPlan& plan, tolvex_model_definition** def);

// Values covering signs, zeros and large magnitudes, n of them.
std::vector<float> fixedInput(uint32_t n);

// One forward pass on fixedInput; the output floats (empty for no layers).
std::vector<float> outputFor(tolvex_model* net, uint32_t input_size);

}  // namespace tolvex::testing
