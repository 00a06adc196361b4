#include "support/model_files.hpp"

#include <cmath>
#include <cstring>

#include "common/model.hpp"
#include "io/io.hpp"
#include "json/json.hpp"
#include "root/root.hpp"
#include "tvxf/tvxf.hpp"

namespace tolvex::testing {

namespace {

bool sameFloat(float x, float y, bool nan_any_payload) {
    uint32_t a, b;
    std::memcpy(&a, &x, 4);
    std::memcpy(&b, &y, 4);
    if (a == b) return true;
    return nan_any_payload && std::isnan(x) && std::isnan(y) && std::signbit(x) == std::signbit(y);
}

bool sameFloats(const float* x, const float* y, size_t n, bool nan_any_payload) {
    for (size_t i = 0; i < n; ++i)
        if (!sameFloat(x[i], y[i], nan_any_payload)) return false;
    return true;
}

// Forward-pass outputs: the same bits, or NaN on both sides. Which NaN
// operand an addition or product passes on (payload and sign) depends on the
// order the compiler gave the operands, and kernels differ in it.
bool sameOutputs(const std::vector<float>& x, const std::vector<float>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
        if (!sameFloat(x[i], y[i], false) && !(std::isnan(x[i]) && std::isnan(y[i]))) return false;
    return true;
}

bool allFinite(const float* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(p[i])) return false;
    return true;
}

// The weight and bias counts that the model's invariants give layer i.
size_t weightCount(const Model& m, size_t i) {
    const Layer& l = m.layers[i];
    if (l.cfg.type == LayerType::linear) return l.out_buf.len * inputSize(m, static_cast<uint32_t>(i));
    if (l.cfg.type == LayerType::layer_norm) return l.out_buf.len;
    return 0;
}

std::string layerText(size_t i, const char* what) { return "layer " + std::to_string(i) + ": " + what; }

std::string compareLayer(const Model& a, const Model& b, size_t i, bool nan_any) {
    const Layer& x = a.layers[i];
    const Layer& y = b.layers[i];
    if (x.cfg.type != y.cfg.type) return layerText(i, "type differs");
    if (x.out_buf.len != y.out_buf.len) return layerText(i, "size differs");
    if (i > 0) {
        bool xs = x.out_buf.ptr == a.layers[i - 1].out_buf.ptr;
        bool ys = y.out_buf.ptr == b.layers[i - 1].out_buf.ptr;
        if (xs != ys) return layerText(i, "buffer sharing differs");
    }
    size_t n = weightCount(a, i);
    switch (x.cfg.type) {
        case LayerType::linear:
            if (!sameFloats(x.cfg.linear.weights, y.cfg.linear.weights, n, nan_any)) return layerText(i, "weights differ");
            if (!sameFloats(x.cfg.linear.biases, y.cfg.linear.biases, x.out_buf.len, nan_any))
                return layerText(i, "biases differ");
            break;
        case LayerType::layer_norm:
            if (!sameFloats(x.cfg.layer_norm.weights, y.cfg.layer_norm.weights, n, nan_any))
                return layerText(i, "weights differ");
            if (!sameFloats(x.cfg.layer_norm.biases, y.cfg.layer_norm.biases, n, nan_any))
                return layerText(i, "biases differ");
            if (!sameFloat(x.cfg.layer_norm.eps, y.cfg.layer_norm.eps, nan_any)) return layerText(i, "eps differs");
            break;
        case LayerType::clip:
            if (!sameFloat(x.cfg.clip.min, y.cfg.clip.min, nan_any) || !sameFloat(x.cfg.clip.max, y.cfg.clip.max, nan_any))
                return layerText(i, "clip bounds differ");
            break;
        case LayerType::elu:
            if (!sameFloat(x.cfg.elu.alpha, y.cfg.elu.alpha, nan_any)) return layerText(i, "alpha differs");
            break;
        case LayerType::leaky_relu:
            if (!sameFloat(x.cfg.leaky_relu.negative_slope, y.cfg.leaky_relu.negative_slope, nan_any))
                return layerText(i, "negative_slope differs");
            break;
        default:
            break;
    }
    return "";
}

std::string describe(Error e) { return tolvex_result_name(errToResult(e)); }

// One trip of a loaded model through `out`: write, load, write again.
std::string tripThrough(Format out, const Model& m1, CountingAllocator& alloc, size_t max_work) {
    std::string where = std::string(" (through ") + formatName(out) + ")";
    auto first = writeBytes(out, m1);
    if (!first) return "writing a loaded model failed: " + describe(first.error()) + where;
    bool finite = allParametersFinite(m1);
    auto m2 = loadBytes(out, alloc.get(), *first);
    if (!m2) {
        if (out == Format::json && !finite) return "";
        // A limited allocator may not have room for both models at once.
        if (m2.error() == Error::OutOfMemory) return "";
        return "a written model does not load back: " + describe(m2.error()) + where;
    }
    // The reloaded model runs on packed weights, as the exported loaders
    // leave it, and the first on the row-major ones: their outputs must agree.
    if (!packLinearLayers(*m2)) {
        deinit(*m2);
        return "";  // only OutOfMemory, under a limited allocator
    }
    bool nan_any = out == Format::json;
    std::string err = compareModels(m1, *m2, nan_any);
    if (err.empty()) {
        auto second = writeBytes(out, *m2);
        if (!second) err = "writing a reloaded model failed: " + describe(second.error());
        else if (*second != *first) err = "the second write differs from the first";
    }
    if (err.empty()) {
        auto y1 = runFixedInput(m1, max_work);
        auto y2 = runFixedInput(*m2, max_work);
        if (y1.has_value() != y2.has_value() || (y1 && !sameOutputs(*y1, *y2))) err = "forward-pass outputs differ";
    }
    deinit(*m2);
    return err.empty() ? err : err + where;
}

}  // namespace

const char* formatName(Format format) { return format == Format::tvxf ? "tvxf" : "json"; }

Result<Model> loadBytes(Format format, Allocator allocator, std::span<const uint8_t> bytes) {
    io::MemoryCursor cursor{bytes, 0};
    uint8_t buf[io::kBufferSize];
    io::Reader reader(io::memorySource(&cursor), buf);
    return format == Format::tvxf ? tvxf::loadFromReader(allocator, reader) : json::loadFromReader(allocator, reader);
}

Result<std::vector<uint8_t>> writeBytes(Format format, const Model& model) {
    // A buffer that fills up fails the write like a full disk; start again
    // with twice the room until the model fits.
    for (size_t cap = 1 << 12;; cap *= 2) {
        std::vector<uint8_t> bytes(cap);
        io::MemoryBuffer mem{bytes, 0};
        uint8_t buf[io::kBufferSize];
        io::Writer writer(io::memorySink(&mem), buf);
        Status s = format == Format::tvxf ? tvxf::writeToWriter(model, writer) : json::writeToWriter(model, writer);
        if (s) s = writer.flush();
        if (s) {
            bytes.resize(mem.len);
            return bytes;
        }
        if (mem.len < cap || cap >= (size_t{1} << 31)) return fail(s.error());
    }
}

bool allParametersFinite(const Model& m) {
    for (size_t i = 0; i < m.layers.len; ++i) {
        const LayerConfig& c = m.layers[i].cfg;
        size_t n = weightCount(m, i), len = m.layers[i].out_buf.len;
        bool ok = true;
        switch (c.type) {
            case LayerType::linear: ok = allFinite(c.linear.weights, n) && allFinite(c.linear.biases, len); break;
            case LayerType::layer_norm:
                ok = allFinite(c.layer_norm.weights, n) && allFinite(c.layer_norm.biases, n) &&
                     std::isfinite(c.layer_norm.eps);
                break;
            case LayerType::clip: ok = std::isfinite(c.clip.min) && std::isfinite(c.clip.max); break;
            case LayerType::elu: ok = std::isfinite(c.elu.alpha); break;
            case LayerType::leaky_relu: ok = std::isfinite(c.leaky_relu.negative_slope); break;
            default: break;
        }
        if (!ok) return false;
    }
    return true;
}

std::string compareModels(const Model& a, const Model& b, bool nan_any_payload) {
    if (a.input_size != b.input_size) return "input sizes differ";
    if (a.layers.len != b.layers.len) return "layer counts differ";
    for (size_t i = 0; i < a.layers.len; ++i) {
        std::string err = compareLayer(a, b, i, nan_any_payload);
        if (!err.empty()) return err;
    }
    return "";
}

std::optional<std::vector<float>> runFixedInput(const Model& model, size_t max_work) {
    if (model.layers.len == 0) return std::nullopt;
    size_t work = model.input_size;
    for (size_t i = 0; i < model.layers.len; ++i) work += model.layers[i].out_buf.len + weightCount(model, i);
    if (work > max_work) return std::nullopt;
    static const float kValues[] = {-3.5f, 0.25f, -0.0f, 1.0f, 100.0f, -1e-3f, 0.0f, 7.25f, -90.0f, 2.5f, 1e-40f};
    std::vector<float> input(model.input_size);
    for (size_t i = 0; i < input.size(); ++i) input[i] = kValues[i % std::size(kValues)];
    forwardPass(model, {input.data(), input.size()});
    Slice<float> out = getOutputBuffer(model);
    return std::vector<float>(out.ptr, out.ptr + out.len);
}

std::string checkRoundTrip(Format format, std::span<const uint8_t> bytes, CountingAllocator& alloc,
                           size_t max_work) {
    auto m1 = loadBytes(format, alloc.get(), bytes);
    if (!m1) return "";
    std::string err = tripThrough(Format::tvxf, *m1, alloc, max_work);
    if (err.empty()) err = tripThrough(Format::json, *m1, alloc, max_work);
    deinit(*m1);
    return err;
}

}  // namespace tolvex::testing
