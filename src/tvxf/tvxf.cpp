// Writing a model as tvxf, and binding both directions to files.
#include "tvxf/tvxf.hpp"

namespace tolvex::tvxf {

namespace {

Status writeU32(io::Writer& w, uint32_t v) {
    uint8_t buf4[4];
    std::memcpy(buf4, &v, sizeof buf4);
    return w.write(buf4, sizeof buf4);
}

Status writeF32(io::Writer& w, float v) {
    uint8_t buf4[4];
    writeFloat(buf4, v);
    return w.write(buf4, sizeof buf4);
}

// Fields are in the host's byte order, so a float array's bytes are exactly
// its fields, one after the other.
Status writeFloats(io::Writer& w, const float* values, size_t n) {
    if (n == 0) return {};
    return w.write(values, n * sizeof(float));
}

Status writeLayer(const Model& model, size_t i, io::Writer& w) {
    const Layer& layer = model.layers[i];
    const LayerConfig& c = layer.cfg;
    auto size = static_cast<uint32_t>(layer.out_buf.len);
    TOLVEX_CHECK(writeU32(w, static_cast<uint32_t>(c.type)));
    TOLVEX_CHECK(writeU32(w, size));
    switch (c.type) {
        case LayerType::linear: {
            uint32_t num_weights = inputSize(model, static_cast<uint32_t>(i)) * size;
            TOLVEX_CHECK(writeU32(w, num_weights));
            TOLVEX_CHECK(writeFloats(w, c.linear.weights, num_weights));
            TOLVEX_CHECK(writeU32(w, size));
            return writeFloats(w, c.linear.biases, size);
        }
        case LayerType::layer_norm:
            TOLVEX_CHECK(writeF32(w, c.layer_norm.eps));
            TOLVEX_CHECK(writeU32(w, size));
            TOLVEX_CHECK(writeFloats(w, c.layer_norm.weights, size));
            TOLVEX_CHECK(writeU32(w, size));
            return writeFloats(w, c.layer_norm.biases, size);
        case LayerType::clip: TOLVEX_CHECK(writeF32(w, c.clip.min)); return writeF32(w, c.clip.max);
        case LayerType::elu: return writeF32(w, c.elu.alpha);
        case LayerType::leaky_relu: return writeF32(w, c.leaky_relu.negative_slope);
        case LayerType::relu:
        case LayerType::relu6:
        case LayerType::sigmoid:
        case LayerType::tanh: return {};
    }
    return {};
}

}  // namespace

Status writeToWriter(const Model& model, io::Writer& writer) {
    TOLVEX_CHECK(writer.write(kHeader, sizeof kHeader));
    TOLVEX_CHECK(writeU32(writer, model.input_size));
    TOLVEX_CHECK(writeU32(writer, static_cast<uint32_t>(model.layers.len)));
    for (size_t i = 0; i < model.layers.len; ++i) TOLVEX_CHECK(writeLayer(model, i, writer));
    return {};
}

Result<Model> load(Allocator allocator, const char* path, size_t path_len, Packing packing) {
    return io::withFileReader<Model>(
        path, path_len, [&](io::Reader& reader) { return loadFromReader(allocator, reader, packing); });
}

Status write(const Model& model, const char* path, size_t path_len) {
    return io::withFileWriter(path, path_len,
                              [&](io::Writer& writer) { return writeToWriter(model, writer); });
}

}  // namespace tolvex::tvxf
