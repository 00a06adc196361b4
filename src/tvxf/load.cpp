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

// Grows arr to new_len elements, keeping its contents. On failure arr is
// unchanged and still the caller's.
template <class T>
Status grow(Allocator a, Slice<T>& arr, size_t new_len) {
    if (a.rawResize(arr.ptr, arr.len * sizeof(T), alignof(T), new_len * sizeof(T))) {
        arr.len = new_len;
        return {};
    }
    Slice<T> bigger = TOLVEX_TRY(a.allocArray<T>(new_len));
    std::memcpy(static_cast<void*>(bigger.ptr), arr.ptr, arr.len * sizeof(T));
    a.freeArray(arr);
    arr = bigger;
    return {};
}

// A new array of exactly n floats, filled from the input in file order. The
// fields are in the host's byte order, so the bytes go straight into place.
Result<Slice<float>> readFloats(Allocator a, io::Reader& r, size_t n) {
    size_t cap = TOLVEX_TRY(firstCapacity<float>(r, n, sizeof(float)));
    Slice<float> arr = TOLVEX_TRY(a.allocArray<float>(cap));
    size_t filled = 0;
    for (;;) {
        Status s = r.readExact(arr.ptr + filled, (arr.len - filled) * sizeof(float));
        if (s) {
            filled = arr.len;
            if (filled == n) return arr;
            s = grow(a, arr, std::min(n, 2 * filled));
        }
        if (!s) {
            a.freeArray(arr);
            return fail(s.error());
        }
    }
}

// A model under construction. The layer array's len is its allocated
// length; `done_` layers are complete.
class Loader {
   public:
    Loader(Allocator a, uint32_t input_size) {
        model_.allocator = a;
        model_.input_size = input_size;
    }

    Status readLayers(io::Reader& r, uint32_t count) {
        Allocator a = model_.allocator;
        size_t cap = TOLVEX_TRY(firstCapacity<Layer>(r, count, kMinLayerRecord));
        model_.layers = TOLVEX_TRY(a.allocArray<Layer>(cap));
        for (size_t i = 0; i < count; ++i) {
            if (i == model_.layers.len) TOLVEX_CHECK(grow(a, model_.layers, std::min<size_t>(count, 2 * i)));
            TOLVEX_CHECK(readLayer(r, i));
            ++done_;
        }
        return {};
    }

    // What the failed layer had allocated, then every complete layer.
    void release() {
        Allocator a = model_.allocator;
        a.freeArray(biases_);
        a.freeArray(weights_);
        freeLayers(model_, done_);
        freeOutBufs(model_, done_);
        a.freeArray(model_.layers);
    }

    const Model& model() const { return model_; }

   private:
    Status readLayer(io::Reader& r, size_t i);
    Status readArrays(io::Reader& r, uint64_t num_weights, uint64_t num_biases);

    Model model_;
    size_t done_ = 0;
    Slice<float> weights_, biases_;  // of the layer being read
};

// Reads a weight count, the weights, a bias count and the biases, refusing
// counts other than the ones the layer requires.
Status Loader::readArrays(io::Reader& r, uint64_t num_weights, uint64_t num_biases) {
    Allocator a = model_.allocator;
    uint32_t count = TOLVEX_TRY(readU32(r));
    if (count != num_weights) return fail(Error::WrongNumberOfWeights);
    weights_ = TOLVEX_TRY(readFloats(a, r, count));
    count = TOLVEX_TRY(readU32(r));
    if (count != num_biases) return fail(Error::WeightsBiasesMismatch);
    biases_ = TOLVEX_TRY(readFloats(a, r, count));
    return {};
}

Status Loader::readLayer(io::Reader& r, size_t i) {
    uint32_t code = TOLVEX_TRY(readU32(r));
    uint32_t size = TOLVEX_TRY(readU32(r));
    if (code >= kLayerTypeCount) return fail(Error::UnsupportedLayerType);
    auto type = static_cast<LayerType>(code);
    bool owns_buf = i == 0 || shouldAllocOutBuf(type);
    // Later non-linear layers take the length of the buffer they share, so
    // only the first layer's size can disagree with its input.
    if (i == 0 && type != LayerType::linear && size != model_.input_size) return fail(Error::WrongLayerSize);
    size_t len = owns_buf ? size : model_.layers[i - 1].out_buf.len;

    Layer layer;
    layer.cfg.type = type;
    switch (type) {
        case LayerType::linear:
            // Computed in 64 bits: a product that does not fit in 32 bits
            // matches no count the file can hold.
            TOLVEX_CHECK(readArrays(r, uint64_t{size} * inputSize(model_, static_cast<uint32_t>(i)), size));
            layer.cfg.linear = Linear{weights_.ptr, biases_.ptr};
            break;
        case LayerType::layer_norm: {
            float eps = TOLVEX_TRY(readF32(r));
            TOLVEX_CHECK(readArrays(r, len, len));
            layer.cfg.layer_norm = LayerNorm{weights_.ptr, biases_.ptr, eps};
            break;
        }
        case LayerType::clip: {
            float lo = TOLVEX_TRY(readF32(r));
            float hi = TOLVEX_TRY(readF32(r));
            layer.cfg.clip = Clip{lo, hi};
            break;
        }
        case LayerType::elu: layer.cfg.elu = ELU{TOLVEX_TRY(readF32(r))}; break;
        case LayerType::leaky_relu: layer.cfg.leaky_relu = LeakyReLU{TOLVEX_TRY(readF32(r))}; break;
        case LayerType::relu:
        case LayerType::relu6:
        case LayerType::sigmoid:
        case LayerType::tanh: break;
    }

    // The output buffer holds no file data, so it is allocated only once the
    // record is complete: a linear layer's buffer is then never larger than
    // the biases the input has already delivered.
    if (owns_buf) {
        layer.out_buf = TOLVEX_TRY(model_.allocator.allocArray<float>(size));
    } else {
        layer.out_buf = model_.layers[i - 1].out_buf;
    }
    model_.layers[i] = layer;
    weights_ = {};
    biases_ = {};
    return {};
}

}  // namespace

Result<Model> loadFromReader(Allocator allocator, io::Reader& reader) {
    uint8_t magic[sizeof kHeader];
    TOLVEX_CHECK(reader.readExact(magic, sizeof magic));
    if (std::memcmp(magic, kHeader, sizeof magic) != 0) return fail(Error::HeaderMismatch);
    uint32_t input_size = TOLVEX_TRY(readU32(reader));
    uint32_t count = TOLVEX_TRY(readU32(reader));

    Loader loader(allocator, input_size);
    Status s = loader.readLayers(reader, count);
    if (!s) {
        loader.release();
        return fail(s.error());
    }
    return loader.model();
}

}  // namespace tolvex::tvxf
