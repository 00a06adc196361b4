// Building a model from the parse tree of a JSON model file.
//
// The checks run in a fixed order, which decides the code of a file with
// several faults: per layer "type", its name, "size", then the parameters
// ("weight" and "bias" counts before the rows, the rows in order). A value of
// the wrong JSON type is MalformedPolicyDefinition where the value is used.
// Last in each layer come the size checks that keep a layer within the
// model's invariants (WrongLayerSize): a linear layer's "size" against its
// rows, a non-linear layer 0's "size" against "input_size", a layer_norm's
// weight count against the buffer it works in.
#include <bit>
#include <cstring>
#include <limits>

#include "common/model.hpp"
#include "json/arena.hpp"
#include "json/json.hpp"
#include "json/parser.hpp"
#include "json/tree.hpp"
#include "util/util.hpp"

namespace tolvex::json {

namespace {

constexpr float kDefaultEps = std::bit_cast<float>(uint32_t{0x3727C5AC});            // 1e-5
constexpr float kDefaultAlpha = 1.0f;
constexpr float kDefaultNegativeSlope = std::bit_cast<float>(uint32_t{0x3C23D70A});  // 0.01

std::unexpected<Error> malformed() { return fail(Error::MalformedPolicyDefinition); }

// A number as a float parameter: the nearest double, then the nearest float.
Result<float> toFloat(const Value& v) {
    if (!v.isNumber() || (v.flags & kBeyondDouble) != 0) return malformed();
    if (v.kind == Kind::integer) return static_cast<float>(static_cast<double>(v.i));
    return static_cast<float>(v.d);
}

Result<float> requiredFloat(const Value& layer, std::string_view key) {
    const Value* v = layer.find(key);
    if (v == nullptr) return malformed();
    return toFloat(*v);
}

Result<float> optionalFloat(const Value& layer, std::string_view key, float fallback) {
    const Value* v = layer.find(key);
    if (v == nullptr) return fallback;
    return toFloat(*v);
}

Result<const Value*> requiredArray(const Value& layer, std::string_view key) {
    const Value* v = layer.find(key);
    if (v == nullptr || !v->isArray()) return malformed();
    return v;
}

// Element k of an array that is not a run of numbers; null for a number.
const Value* element(const Value& array, size_t k) { return array.kind == Kind::array ? &array.items[k] : nullptr; }

// Copies an array of numbers (the tree holds them as floats already).
Status copyNumbers(float* dst, const Value& array) {
    if (!array.isNumberArray()) return malformed();
    if (array.len != 0) std::memcpy(dst, array.nums, array.len * sizeof(float));
    return {};
}

Status buildLinear(ModelAssembler& m, const Value& layer, size_t len, uint32_t& prev_size) {
    const Value* weight = TOLVEX_TRY(requiredArray(layer, "weight"));
    const Value* bias = TOLVEX_TRY(requiredArray(layer, "bias"));
    size_t rows = weight->len;
    if (rows != bias->len) return fail(Error::WeightsBiasesMismatch);
    // The weight count is a 32-bit quantity of the model.
    uint64_t count = uint64_t{rows} * prev_size;
    if (count > UINT32_MAX) return fail(Error::WrongNumberOfWeights);
    // Every row is checked, in order, before the weights are allocated: the
    // array's length is the product of two counts, and rows that cannot fill
    // it must not cost its memory.
    for (size_t n = 0; n < rows; ++n) {
        const Value* row = element(*weight, n);
        if (row == nullptr || !row->isArray()) return malformed();
        if (row->len != prev_size) return fail(Error::WrongNumberOfWeights);
        if (!row->isNumberArray()) return malformed();
    }
    float* weights = TOLVEX_TRY(m.weights(count));
    for (size_t n = 0; n < rows; ++n) TOLVEX_CHECK(copyNumbers(weights + n * prev_size, *element(*weight, n)));
    float* biases = TOLVEX_TRY(m.biases(rows));
    TOLVEX_CHECK(copyNumbers(biases, *bias));
    if (rows != len) return fail(Error::WrongLayerSize);
    prev_size = static_cast<uint32_t>(rows);
    return {};
}

Status buildLayerNorm(ModelAssembler& m, const Value& layer, size_t len, uint32_t& prev_size, LayerConfig& cfg) {
    float eps = TOLVEX_TRY(optionalFloat(layer, "eps", kDefaultEps));
    const Value* weight = TOLVEX_TRY(requiredArray(layer, "weight"));
    const Value* bias = TOLVEX_TRY(requiredArray(layer, "bias"));
    size_t count = weight->len;
    if (count != bias->len) return fail(Error::WeightsBiasesMismatch);
    if (prev_size != 0 && count != prev_size) return fail(Error::WrongNumberOfWeights);
    TOLVEX_CHECK(copyNumbers(TOLVEX_TRY(m.weights(count)), *weight));
    TOLVEX_CHECK(copyNumbers(TOLVEX_TRY(m.biases(count)), *bias));
    cfg.layer_norm.eps = eps;
    // Teardown frees both arrays with the length of the buffer the layer
    // works in, which a zero input length left unchecked above.
    if (count != len) return fail(Error::WrongLayerSize);
    prev_size = static_cast<uint32_t>(count);
    return {};
}

Status buildLayer(ModelAssembler& m, size_t i, const Value& layer, uint32_t& prev_size, uint32_t input_size) {
    if (layer.kind != Kind::object) return malformed();
    const Value* type_name = layer.find("type");
    if (type_name == nullptr || type_name->kind != Kind::string) return malformed();
    std::optional<LayerType> parsed = parseLayerType(type_name->text());
    if (!parsed) return fail(Error::UnsupportedLayerType);
    LayerType type = *parsed;

    // The length of the layer's output buffer: its own "size", or the
    // buffer it shares.
    bool owns_buf = i == 0 || shouldAllocOutBuf(type);
    size_t len;
    if (owns_buf) {
        uint64_t size = TOLVEX_TRY(getOutBufSizeFromJson(layer));
        // A negative size wraps to a huge count and lands here too.
        if (size > std::numeric_limits<uint64_t>::max() / sizeof(float)) return fail(Error::OutOfMemory);
        if (size > UINT32_MAX) return malformed();
        len = size;
    } else {
        len = m.nextInputSize();
    }

    LayerConfig cfg;
    cfg.type = type;
    switch (type) {
        case LayerType::linear: TOLVEX_CHECK(buildLinear(m, layer, len, prev_size)); break;
        case LayerType::layer_norm: TOLVEX_CHECK(buildLayerNorm(m, layer, len, prev_size, cfg)); break;
        case LayerType::clip: {
            float lo = TOLVEX_TRY(requiredFloat(layer, "min"));
            float hi = TOLVEX_TRY(requiredFloat(layer, "max"));
            cfg.clip = {lo, hi};
            break;
        }
        case LayerType::elu: cfg.elu = {TOLVEX_TRY(optionalFloat(layer, "alpha", kDefaultAlpha))}; break;
        case LayerType::leaky_relu:
            cfg.leaky_relu = {TOLVEX_TRY(optionalFloat(layer, "negative_slope", kDefaultNegativeSlope))};
            break;
        case LayerType::relu:
        case LayerType::relu6:
        case LayerType::sigmoid:
        case LayerType::tanh: break;
    }
    // Every layer but a linear one maps its input element by element.
    if (i == 0 && type != LayerType::linear && len != input_size) return fail(Error::WrongLayerSize);

    // The assembler allocates the buffer last, once the parameters have
    // passed their checks: a claimed size costs no memory unless the file's
    // own weights and biases back it (or, for an activation first, the input
    // size calls for it).
    return m.append(cfg, static_cast<uint32_t>(len));
}

Status buildModel(ModelAssembler& m, const Value& root) {
    if (root.kind != Kind::object) return malformed();
    const Value* input_size = root.find("input_size");
    if (input_size == nullptr || input_size->kind != Kind::integer || input_size->i < 0 ||
        input_size->i > UINT32_MAX)
        return malformed();
    const Value* layers = root.find("layers");
    if (layers == nullptr || !layers->isArray()) return malformed();

    const auto in = static_cast<uint32_t>(input_size->i);
    TOLVEX_CHECK(m.begin(in, layers->len));
    uint32_t prev_size = in;
    for (size_t i = 0; i < layers->len; ++i) {
        const Value* layer = element(*layers, i);
        if (layer == nullptr) return malformed();
        TOLVEX_CHECK(buildLayer(m, i, *layer, prev_size, in));
    }
    return {};
}

}  // namespace

Result<uint64_t> getOutBufSizeFromJson(const Value& layer) {
    const Value* size = layer.find("size");
    if (size == nullptr || size->kind != Kind::integer) return malformed();
    return static_cast<uint64_t>(size->i);
}

Result<Model> loadFromReader(Allocator allocator, io::Reader& reader, Packing packing) {
    ModelAssembler assembler(allocator);  // abandoned on every failure
    {
        Arena arena(allocator);  // the tree, released on every path
        const Value* root = TOLVEX_TRY(parseDocument(allocator, reader, arena));
        TOLVEX_CHECK(buildModel(assembler, *root));
    }
    // The tree is gone before the packed copies come, so the two never take
    // memory at the same time.
    return assembler.finish(packing);
}

}  // namespace tolvex::json
