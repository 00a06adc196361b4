// The model-definition builder: records layers and the host's pointers,
// copies no array and checks no size.
#include <cstring>

#include "common/types.hpp"
#include "root/root.hpp"

namespace tolvex {

namespace {

ModelDefinition* fromHandle(tolvex_model_definition* h) { return reinterpret_cast<ModelDefinition*>(h); }

// Doubles the capacity: in place when the allocator can, otherwise into a new
// block. On failure the definition is untouched.
Status grow(ModelDefinition& def) {
    Allocator a = cAllocator();
    size_t new_cap = def.capacity == 0 ? 8 : def.capacity * 2;
    constexpr size_t kSize = sizeof(LayerDefinition);
    if (def.capacity != 0 && a.rawResize(def.layers.ptr, def.capacity * kSize, alignof(LayerDefinition),
                                         new_cap * kSize)) {
        def.capacity = new_cap;
        return {};
    }
    Slice<LayerDefinition> fresh = TOLVEX_TRY(a.allocArray<LayerDefinition>(new_cap));
    if (def.layers.len != 0) std::memcpy(fresh.ptr, def.layers.ptr, def.layers.len * kSize);
    a.freeArray(def.layers.ptr, def.capacity);
    def.layers.ptr = fresh.ptr;
    def.capacity = new_cap;
    return {};
}

tolvex_result append(tolvex_model_definition* handle, const LayerConfig& cfg, uint32_t size) {
    ModelDefinition& def = *fromHandle(handle);
    if (def.layers.len == def.capacity) {
        Status s = grow(def);
        if (!s) return errToResult(s.error());
    }
    def.layers.ptr[def.layers.len] = LayerDefinition{cfg, size};
    ++def.layers.len;
    return tolvex_Success;
}

LayerConfig plain(LayerType type) {
    LayerConfig cfg;
    cfg.type = type;
    return cfg;
}

}  // namespace

}  // namespace tolvex

using namespace tolvex;

extern "C" {

TOLVEX_API tolvex_result tolvex_new_model_definition(tolvex_model_definition** model_definition,
                                                     uint32_t input_layer_size) {
    auto def = cAllocator().create<ModelDefinition>();
    if (!def) return tolvex_OutOfMemory;
    (*def)->input_size = input_layer_size;
    *model_definition = reinterpret_cast<tolvex_model_definition*>(*def);
    return tolvex_Success;
}

TOLVEX_API tolvex_result tolvex_add_linear(tolvex_model_definition* def, tolvex_linear cfg, uint32_t size) {
    LayerConfig c = plain(LayerType::linear);
    c.linear = cfg;
    return append(def, c, size);
}

TOLVEX_API tolvex_result tolvex_add_layer_norm(tolvex_model_definition* def, tolvex_layer_norm cfg,
                                               uint32_t size) {
    LayerConfig c = plain(LayerType::layer_norm);
    c.layer_norm = cfg;
    return append(def, c, size);
}

TOLVEX_API tolvex_result tolvex_add_clip(tolvex_model_definition* def, tolvex_clip cfg, uint32_t size) {
    LayerConfig c = plain(LayerType::clip);
    c.clip = cfg;
    return append(def, c, size);
}

TOLVEX_API tolvex_result tolvex_add_elu(tolvex_model_definition* def, tolvex_elu cfg, uint32_t size) {
    LayerConfig c = plain(LayerType::elu);
    c.elu = cfg;
    return append(def, c, size);
}

TOLVEX_API tolvex_result tolvex_add_relu(tolvex_model_definition* def, uint32_t size) {
    return append(def, plain(LayerType::relu), size);
}

TOLVEX_API tolvex_result tolvex_add_relu6(tolvex_model_definition* def, uint32_t size) {
    return append(def, plain(LayerType::relu6), size);
}

TOLVEX_API tolvex_result tolvex_add_sigmoid(tolvex_model_definition* def, uint32_t size) {
    return append(def, plain(LayerType::sigmoid), size);
}

TOLVEX_API tolvex_result tolvex_add_tanh(tolvex_model_definition* def, uint32_t size) {
    return append(def, plain(LayerType::tanh), size);
}

TOLVEX_API tolvex_result tolvex_add_leaky_relu(tolvex_model_definition* def, tolvex_leaky_relu cfg,
                                               uint32_t size) {
    LayerConfig c = plain(LayerType::leaky_relu);
    c.leaky_relu = cfg;
    return append(def, c, size);
}

TOLVEX_API void tolvex_free_model_definition(tolvex_model_definition* model_definition) {
    if (model_definition == nullptr) return;
    Allocator a = cAllocator();
    ModelDefinition* def = reinterpret_cast<ModelDefinition*>(model_definition);
    a.freeArray(def->layers.ptr, def->capacity);
    a.destroy(def);
}

}
