// Writing a model as one line of JSON, straight from the model: every number
// is formatted into the writer's buffer, nothing is built in memory.
#include <cmath>
#include <string_view>

#include "json/json.hpp"
#include "text/float_text.hpp"

namespace tolvex::json {

namespace {

// A separator, two quotes and the longest float text.
constexpr size_t kMaxNumberPiece = kMaxFloatText + 3;
static_assert(kMaxNumberPiece <= io::kBufferSize);

Status put(io::Writer& w, std::string_view s) { return w.write(s.data(), s.size()); }

// Digits by hand: std::to_chars for integers brings a table with it that the
// shared library would export as a unique symbol.
Status putUint(io::Writer& w, uint64_t v) {
    char buf[20];
    size_t n = sizeof buf;
    do {
        buf[--n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return w.write(buf + n, sizeof buf - n);
}

// The shortest text that reads back as the float widened to double; a NaN is
// the string "nan" or "-nan", an infinity the bare inf or -inf.
size_t floatText(char* out, float v) {
    if (!std::isnan(v)) return formatFloat(out, v, FloatWidth::widened);
    out[0] = '"';
    size_t n = formatFloat(out + 1, v, FloatWidth::widened);
    out[n + 1] = '"';
    return n + 2;
}

Status putFloat(io::Writer& w, float v) {
    uint8_t* p = TOLVEX_TRY(w.reserve(kMaxNumberPiece));
    w.commit(floatText(reinterpret_cast<char*>(p), v));
    return {};
}

// n floats separated by commas, without brackets.
Status putFloats(io::Writer& w, const float* v, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        uint8_t* p = TOLVEX_TRY(w.reserve(kMaxNumberPiece));
        char* out = reinterpret_cast<char*>(p);
        size_t len = 0;
        if (k != 0) out[len++] = ',';
        len += floatText(out + len, v[k]);
        w.commit(len);
    }
    return {};
}

Status putParameters(io::Writer& w, const Model& model, size_t i) {
    const Layer& layer = model.layers[i];
    size_t size = layer.out_buf.len;
    switch (layer.cfg.type) {
        case LayerType::linear: {
            size_t in = inputSize(model, static_cast<uint32_t>(i));
            TOLVEX_CHECK(put(w, ",\"weight\":["));
            for (size_t n = 0; n < size; ++n) {
                TOLVEX_CHECK(put(w, n == 0 ? "[" : ",["));
                TOLVEX_CHECK(putFloats(w, layer.cfg.linear.weights + n * in, in));
                TOLVEX_CHECK(put(w, "]"));
            }
            TOLVEX_CHECK(put(w, "],\"bias\":["));
            TOLVEX_CHECK(putFloats(w, layer.cfg.linear.biases, size));
            return put(w, "]");
        }
        case LayerType::layer_norm:
            TOLVEX_CHECK(put(w, ",\"weight\":["));
            TOLVEX_CHECK(putFloats(w, layer.cfg.layer_norm.weights, size));
            TOLVEX_CHECK(put(w, "],\"bias\":["));
            TOLVEX_CHECK(putFloats(w, layer.cfg.layer_norm.biases, size));
            TOLVEX_CHECK(put(w, "],\"eps\":"));
            return putFloat(w, layer.cfg.layer_norm.eps);
        case LayerType::clip:
            TOLVEX_CHECK(put(w, ",\"min\":"));
            TOLVEX_CHECK(putFloat(w, layer.cfg.clip.min));
            TOLVEX_CHECK(put(w, ",\"max\":"));
            return putFloat(w, layer.cfg.clip.max);
        case LayerType::elu:
            TOLVEX_CHECK(put(w, ",\"alpha\":"));
            return putFloat(w, layer.cfg.elu.alpha);
        case LayerType::leaky_relu:
            TOLVEX_CHECK(put(w, ",\"negative_slope\":"));
            return putFloat(w, layer.cfg.leaky_relu.negative_slope);
        case LayerType::relu:
        case LayerType::relu6:
        case LayerType::sigmoid:
        case LayerType::tanh: return {};
    }
    return {};
}

}  // namespace

Status writeToWriter(const Model& model, io::Writer& w) {
    TOLVEX_CHECK(put(w, "{\"input_size\":"));
    TOLVEX_CHECK(putUint(w, model.input_size));
    TOLVEX_CHECK(put(w, ",\"layers\":["));
    for (size_t i = 0; i < model.layers.len; ++i) {
        const Layer& layer = model.layers[i];
        TOLVEX_CHECK(put(w, i == 0 ? "{\"type\":\"" : ",{\"type\":\""));
        TOLVEX_CHECK(put(w, layerTypeToStr(layer.cfg.type)));
        TOLVEX_CHECK(put(w, "\",\"size\":"));
        TOLVEX_CHECK(putUint(w, layer.out_buf.len));
        TOLVEX_CHECK(putParameters(w, model, i));
        TOLVEX_CHECK(put(w, "}"));
    }
    return put(w, "]}");
}

}  // namespace tolvex::json
