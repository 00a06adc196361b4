// Exported model functions: construction, the forward pass, output access,
// the listing and the model files. Each is a thin shell over its module that
// turns internal errors into result codes.
#include <cstring>
#include <span>

#include "common/model.hpp"
#include "json/json.hpp"
#include "root/root.hpp"
#include "tvxf/tvxf.hpp"

using namespace tolvex;

namespace {

Model* fromHandle(tolvex_model* h) { return reinterpret_cast<Model*>(h); }
const Model* fromHandle(const tolvex_model* h) { return reinterpret_cast<const Model*>(h); }

// Allocates the record, publishes it in *net, and fills it from make(),
// which gives a finished model with the packed weights of the active
// implementation. A failure frees the record again and leaves *net NULL, so
// the host never holds a handle to a record without a model.
template <class Make>
tolvex_result makeModel(tolvex_model** net, Make&& make) {
    Allocator a = cAllocator();
    auto record = a.create<Model>();
    if (!record) return tolvex_OutOfMemory;
    *net = reinterpret_cast<tolvex_model*>(*record);
    Result<Model> model = make(a);
    if (!model) {
        a.destroy(*record);
        *net = nullptr;
        return errToResult(model.error());
    }
    **record = *model;
    return tolvex_Success;
}

std::span<const uint8_t> bytesOf(const void* data, size_t len) { return {static_cast<const uint8_t*>(data), len}; }

tolvex_result toResult(const Status& s) {
    if (s) return tolvex_Success;
    return errToResult(s.error());
}

}  // namespace

extern "C" {

TOLVEX_API tolvex_result tolvex_create(tolvex_model** net, const tolvex_model_definition* def) {
    const auto* d = reinterpret_cast<const ModelDefinition*>(def);
    Slice<const LayerDefinition> defs{d->layers.ptr, d->layers.len};
    return makeModel(net, [&](Allocator a) { return create(a, defs, d->input_size, Packing::active); });
}

TOLVEX_API void tolvex_free_model(tolvex_model* net) {
    if (net == nullptr) return;
    Model* m = fromHandle(net);
    deinit(*m);
    cAllocator().destroy(m);
}

TOLVEX_API void tolvex_forward_pass(tolvex_model* net, const float* input, uint32_t input_len) {
    forwardPass(*fromHandle(net), Slice<const float>{input, input_len});
}

TOLVEX_API const float* tolvex_get_output_buffer(const tolvex_model* net) {
    return getOutputBuffer(*fromHandle(net)).ptr;
}

TOLVEX_API uint32_t tolvex_get_output_len(const tolvex_model* net) {
    return static_cast<uint32_t>(getOutputBuffer(*fromHandle(net)).len);
}

TOLVEX_API void tolvex_print_layers(const tolvex_model* net) { printLayers(*fromHandle(net)); }

TOLVEX_API tolvex_result tolvex_load_tvxf(tolvex_model** net, const char* path) {
    size_t len = std::strlen(path);
    return makeModel(net, [&](Allocator a) { return tvxf::load(a, path, len, Packing::active); });
}

TOLVEX_API tolvex_result tolvex_write_tvxf(const tolvex_model* net, const char* path) {
    return toResult(tvxf::write(*fromHandle(net), path, std::strlen(path)));
}

TOLVEX_API tolvex_result tolvex_load_json(tolvex_model** net, const char* path) {
    size_t len = std::strlen(path);
    return makeModel(net, [&](Allocator a) { return json::load(a, path, len, Packing::active); });
}

TOLVEX_API tolvex_result tolvex_write_json(const tolvex_model* net, const char* path) {
    return toResult(json::write(*fromHandle(net), path, std::strlen(path)));
}

// ---------------------------------------------------------------------------
// Beyond the core interface.

TOLVEX_API uint32_t tolvex_get_input_len(const tolvex_model* net) { return fromHandle(net)->input_size; }

TOLVEX_API tolvex_result tolvex_load_tvxf_memory(tolvex_model** net, const void* data, size_t len) {
    return makeModel(net, [&](Allocator a) { return tvxf::loadMemory(a, bytesOf(data, len), Packing::active); });
}

TOLVEX_API tolvex_result tolvex_load_json_memory(tolvex_model** net, const void* data, size_t len) {
    return makeModel(net, [&](Allocator a) { return json::loadMemory(a, bytesOf(data, len), Packing::active); });
}

TOLVEX_API void tolvex_forward_batch(tolvex_model* net, const float* input, uint32_t input_len, uint32_t count,
                                     float* output) {
    const Model& model = *fromHandle(net);
    const size_t out_len = getOutputBuffer(model).len;
    forwardBatch(model, {input, size_t{input_len} * count}, count, {output, out_len * count});
}

}
