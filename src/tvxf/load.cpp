// Reading a tvxf stream into a model.
//
// The file's counts are redundant with its sizes, and the model's teardown
// and kernels trust the sizes, so every count is checked against the value
// the model requires before anything is allocated for it. No array is
// allocated larger than the rest of the input could fill: a short file fails
// with EndOfStream, not with a huge allocation.
#include <algorithm>
#include <optional>

#include "common/model.hpp"
#include "tvxf/tvxf.hpp"
#include "util/util.hpp"

namespace tolvex::tvxf {

namespace {

// Arrays for an input of unknown length (a pipe, a character device) start
// at this many bytes and double only as the input actually fills them. A
// count that the input cannot back then costs at most about three times the
// bytes read (old and new block during a copy) plus this much, while a valid
// input pays one extra copy per doubling.
constexpr size_t kUnknownLengthStart = size_t{1} << 20;

// Every layer record takes at least its type code and its size.
constexpr size_t kMinLayerRecord = 8;

Result<uint32_t> readU32(io::Reader& r) {
    uint8_t buf4[4];
    TOLVEX_CHECK(r.readExact(buf4, sizeof buf4));
    uint32_t v;
    std::memcpy(&v, buf4, sizeof v);
    return v;
}

Result<float> readF32(io::Reader& r) {
    uint8_t buf4[4];
    TOLVEX_CHECK(r.readExact(buf4, sizeof buf4));
    return readFloat(buf4);
}

// How many of n elements of T to allocate first, each backed by at least
// min_bytes of input. An input of known length that cannot back all n ends
// the load here, before anything is allocated. The buffered bytes are looked
// at first so that small arrays cost no system call.
template <class T>
Result<size_t> firstCapacity(const io::Reader& r, size_t n, size_t min_bytes) {
    if (n <= r.buffered().size() / min_bytes) return n;
    std::optional<uint64_t> rest = r.remaining();
    if (!rest) return std::min(n, kUnknownLengthStart / sizeof(T));
    if (n > *rest / min_bytes) return fail(Error::EndOfStream);
    return n;
}

// Reads n floats in file order into the array that array(len) sizes (the
// assembler's array for the layer being read, resized keeping its
// contents). An input that cannot be measured backs the array bit by bit:
// it starts small and doubles only as the floats arrive. The fields are in
// the host's byte order, so the bytes go straight into place.
template <class Array>
Status readFloats(io::Reader& r, size_t n, Array&& array) {
    size_t cap = TOLVEX_TRY(firstCapacity<float>(r, n, sizeof(float)));
    size_t filled = 0;
    for (;;) {
        float* dst = TOLVEX_TRY(array(cap));
        TOLVEX_CHECK(r.readExact(dst + filled, (cap - filled) * sizeof(float)));
        filled = cap;
        if (filled == n) return {};
        cap = std::min(n, 2 * filled);
    }
}

// Reads the layer records into the assembler.
class Loader {
   public:
    explicit Loader(ModelAssembler& assembler) : m_(assembler) {}

    Status readLayers(io::Reader& r, uint32_t input_size, uint32_t count) {
        size_t cap = TOLVEX_TRY(firstCapacity<Layer>(r, count, kMinLayerRecord));
        TOLVEX_CHECK(m_.begin(input_size, cap));
        for (size_t i = 0; i < count; ++i) {
            if (i == m_.capacity()) TOLVEX_CHECK(m_.reserve(std::min<size_t>(count, 2 * i)));
            TOLVEX_CHECK(readLayer(r, i, input_size));
        }
        return {};
    }

   private:
    Status readLayer(io::Reader& r, size_t i, uint32_t input_size);
    Status readArrays(io::Reader& r, uint64_t num_weights, uint64_t num_biases);

    ModelAssembler& m_;
};

// Reads a weight count, the weights, a bias count and the biases, refusing
// counts other than the ones the layer requires.
Status Loader::readArrays(io::Reader& r, uint64_t num_weights, uint64_t num_biases) {
    uint32_t count = TOLVEX_TRY(readU32(r));
    if (count != num_weights) return fail(Error::WrongNumberOfWeights);
    TOLVEX_CHECK(readFloats(r, count, [&](size_t n) { return m_.weights(n); }));
    count = TOLVEX_TRY(readU32(r));
    if (count != num_biases) return fail(Error::WeightsBiasesMismatch);
    return readFloats(r, count, [&](size_t n) { return m_.biases(n); });
}

Status Loader::readLayer(io::Reader& r, size_t i, uint32_t input_size) {
    uint32_t code = TOLVEX_TRY(readU32(r));
    uint32_t size = TOLVEX_TRY(readU32(r));
    if (code >= kLayerTypeCount) return fail(Error::UnsupportedLayerType);
    auto type = static_cast<LayerType>(code);
    bool owns_buf = i == 0 || shouldAllocOutBuf(type);
    // Later non-linear layers take the length of the buffer they share, so
    // only the first layer's size can disagree with its input.
    if (i == 0 && type != LayerType::linear && size != input_size) return fail(Error::WrongLayerSize);
    size_t len = owns_buf ? size : m_.nextInputSize();

    LayerConfig cfg;
    cfg.type = type;
    switch (type) {
        case LayerType::linear:
            // Computed in 64 bits: a product that does not fit in 32 bits
            // matches no count the file can hold.
            TOLVEX_CHECK(readArrays(r, uint64_t{size} * m_.nextInputSize(), size));
            break;
        case LayerType::layer_norm: {
            float eps = TOLVEX_TRY(readF32(r));
            TOLVEX_CHECK(readArrays(r, len, len));
            cfg.layer_norm.eps = eps;
            break;
        }
        case LayerType::clip: {
            float lo = TOLVEX_TRY(readF32(r));
            float hi = TOLVEX_TRY(readF32(r));
            cfg.clip = Clip{lo, hi};
            break;
        }
        case LayerType::elu: cfg.elu = ELU{TOLVEX_TRY(readF32(r))}; break;
        case LayerType::leaky_relu: cfg.leaky_relu = LeakyReLU{TOLVEX_TRY(readF32(r))}; break;
        case LayerType::relu:
        case LayerType::relu6:
        case LayerType::sigmoid:
        case LayerType::tanh: break;
    }
    // The assembler allocates the output buffer last, once the record is
    // complete: a linear layer's buffer is then never larger than the biases
    // the input has already delivered.
    return m_.append(cfg, size);
}

}  // namespace

Result<Model> loadFromReader(Allocator allocator, io::Reader& reader, Packing packing) {
    uint8_t magic[sizeof kHeader];
    TOLVEX_CHECK(reader.readExact(magic, sizeof magic));
    if (std::memcmp(magic, kHeader, sizeof magic) != 0) return fail(Error::HeaderMismatch);
    uint32_t input_size = TOLVEX_TRY(readU32(reader));
    uint32_t count = TOLVEX_TRY(readU32(reader));

    ModelAssembler assembler(allocator);  // abandoned on every failure
    TOLVEX_CHECK(Loader(assembler).readLayers(reader, input_size, count));
    return assembler.finish(packing);
}

Result<Model> loadMemory(Allocator allocator, std::span<const uint8_t> bytes, Packing packing) {
    io::Reader reader(bytes);
    return loadFromReader(allocator, reader, packing);
}

}  // namespace tolvex::tvxf
