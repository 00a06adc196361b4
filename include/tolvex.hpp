/*
 * tolvex.hpp: a header-only C++17 face for the C interface in tolvex.h.
 *
 *     namespace tvx = tolvex::cpp;
 *     tvx::Library lib;                          // tolvex_init ... tolvex_deinit
 *     tvx::Model m = tvx::Model::load("policy.tvxf");
 *     tvx::Output y = m.forward({0.1f, 0.0f, -0.2f, 0.0f});
 *     float force = y[0];
 *     std::vector<float> forces = m.forwardBatch(states);  // many inputs at once
 *
 * Definitions and models are move-only owners of their handles and free them
 * when destroyed. Every failing call throws tolvex::cpp::Error, which carries the
 * result code and its name. What tolvex.h says about ownership, threads and
 * unchecked arguments holds here unchanged, with one addition: the wrapper
 * checks the lengths of the arrays it is given for a forward pass against
 * the model's input and output sizes, and throws std::invalid_argument
 * before the library is called when they do not fit.
 */
#ifndef TOLVEX_HPP_5E1B7C2A
#define TOLVEX_HPP_5E1B7C2A

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tolvex.h"

/* The library's own internals live in namespace tolvex; the wrapper keeps to
 * tolvex::cpp so that no name of the two can ever meet. */
namespace tolvex::cpp {

/* A failed library call: code() is the tolvex_result, name() its name. */
class Error : public std::runtime_error {
public:
    Error(tolvex_result code, const std::string& what)
        : std::runtime_error(what + ": " + tolvex_result_name(code)), code_(code) {}
    tolvex_result code() const noexcept { return code_; }
    const char* name() const noexcept { return tolvex_result_name(code_); }

private:
    tolvex_result code_;
};

namespace detail {
inline void check(tolvex_result r, const char* what) {
    if (r != tolvex_Success) throw Error(r, what);
}
inline void check(tolvex_result r, const char* what, const std::string& path) {
    if (r != tolvex_Success) throw Error(r, std::string(what) + " " + path);
}
/* A length check failed: std::invalid_argument with what it was. */
inline void checkLength(bool ok, const char* what, std::size_t given, std::size_t wanted) {
    if (!ok)
        throw std::invalid_argument(std::string(what) + ": " + std::to_string(given) + " floats given, " +
                                    std::to_string(wanted) + " wanted");
}
inline bool endsWith(const std::string& s, const char* suffix) {
    std::string t(suffix);
    if (s.size() < t.size()) return false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        char c = s[s.size() - t.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != t[i]) return false;
    }
    return true;
}
/* The path as the C functions take it. A std::string may hold a NUL byte,
 * where the C string ends: "victim.txt\0.json" would name victim.txt while
 * its extension says JSON. Such a path is refused with std::invalid_argument
 * before the library is called. */
inline const char* cPath(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("path contains a NUL byte");
    return path.c_str();
}
/* true for .json, false for .tvxf, std::invalid_argument otherwise. */
inline bool isJsonPath(const std::string& path) {
    cPath(path);
    if (endsWith(path, ".json")) return true;
    if (endsWith(path, ".tvxf")) return false;
    throw std::invalid_argument(path + ": unknown model file extension (use .json or .tvxf)");
}
}  // namespace detail

/* Initialises the library for its lifetime. Make one, before any definition
 * or model, and let it outlive them all; it may not be copied or moved. */
class Library {
public:
    Library() { tolvex_init(); }
    ~Library() { tolvex_deinit(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

/* A read-only view of a model's output buffer. It stays valid while the
 * model lives, and the next forward pass overwrites what it shows. */
class Output {
public:
    Output() noexcept = default;
    Output(const float* data, std::size_t size) noexcept : data_(data), size_(size) {}
    const float* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const float* begin() const noexcept { return data_; }
    const float* end() const noexcept { return data_ + size_; }
    const float& operator[](std::size_t i) const noexcept { return data_[i]; }
    const float& at(std::size_t i) const {
        if (i >= size_) throw std::out_of_range("tolvex::cpp::Output::at");
        return data_[i];
    }
    std::vector<float> toVector() const { return std::vector<float>(begin(), end()); }

private:
    const float* data_ = nullptr;
    std::size_t size_ = 0;
};

/* A network described layer by layer. It records the host's weight and bias
 * pointers, not copies: those arrays must stay valid and unchanged until the
 * last Model::create() from this definition has returned. Layers other than
 * linear take the size of the layer before them, which the definition
 * tracks. */
class Definition {
public:
    Definition() noexcept = default;
    explicit Definition(std::uint32_t inputSize) : size_(inputSize) {
        detail::check(tolvex_new_model_definition(&h_, inputSize), "tolvex_new_model_definition");
    }
    ~Definition() { tolvex_free_model_definition(h_); }
    Definition(Definition&& o) noexcept : h_(std::exchange(o.h_, nullptr)), size_(o.size_) {}
    Definition& operator=(Definition&& o) noexcept {
        if (this != &o) {
            tolvex_free_model_definition(h_);
            h_ = std::exchange(o.h_, nullptr);
            size_ = o.size_;
        }
        return *this;
    }
    Definition(const Definition&) = delete;
    Definition& operator=(const Definition&) = delete;

    /* `weights`: size rows of currentSize() floats, row-major; `biases`: size floats. */
    Definition& linear(std::uint32_t size, const float* weights, const float* biases) {
        detail::check(tolvex_add_linear(handle(), tolvex_linear{weights, biases}, size), "tolvex_add_linear");
        size_ = size;
        return *this;
    }
    Definition& layerNorm(const float* weights, const float* biases, float eps = 1e-5f) {
        detail::check(tolvex_add_layer_norm(handle(), tolvex_layer_norm{weights, biases, eps}, size_),
                      "tolvex_add_layer_norm");
        return *this;
    }
    Definition& clip(float min, float max) {
        detail::check(tolvex_add_clip(handle(), tolvex_clip{min, max}, size_), "tolvex_add_clip");
        return *this;
    }
    Definition& elu(float alpha = 1.0f) {
        detail::check(tolvex_add_elu(handle(), tolvex_elu{alpha}, size_), "tolvex_add_elu");
        return *this;
    }
    Definition& leakyRelu(float negativeSlope = 0.01f) {
        detail::check(tolvex_add_leaky_relu(handle(), tolvex_leaky_relu{negativeSlope}, size_),
                      "tolvex_add_leaky_relu");
        return *this;
    }
    Definition& relu() { return plain(tolvex_add_relu, "tolvex_add_relu"); }
    Definition& relu6() { return plain(tolvex_add_relu6, "tolvex_add_relu6"); }
    Definition& sigmoid() { return plain(tolvex_add_sigmoid, "tolvex_add_sigmoid"); }
    Definition& tanh() { return plain(tolvex_add_tanh, "tolvex_add_tanh"); }

    /* The size of the last layer (the input size while there is none). */
    std::uint32_t currentSize() const noexcept { return size_; }
    tolvex_model_definition* handle() const {
        if (h_ == nullptr) throw std::logic_error("tolvex::cpp::Definition is empty");
        return h_;
    }
    explicit operator bool() const noexcept { return h_ != nullptr; }

private:
    Definition& plain(tolvex_result (*add)(tolvex_model_definition*, std::uint32_t), const char* what) {
        detail::check(add(handle(), size_), what);
        return *this;
    }

    tolvex_model_definition* h_ = nullptr;
    std::uint32_t size_ = 0;
};

/* A model that owns all its arrays. */
class Model {
public:
    Model() noexcept = default;
    ~Model() { tolvex_free_model(h_); }
    Model(Model&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    Model& operator=(Model&& o) noexcept {
        if (this != &o) {
            tolvex_free_model(h_);
            h_ = std::exchange(o.h_, nullptr);
        }
        return *this;
    }
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    /* Copies the definition's weights; the definition may go afterwards. */
    static Model create(const Definition& def) {
        Model m;
        tolvex_model* h = nullptr;
        detail::check(tolvex_create(&h, def.handle()), "tolvex_create");
        m.h_ = h;
        return m;
    }
    static Model loadJson(const std::string& path) { return loadWith(tolvex_load_json, "cannot load", path); }
    static Model loadTvxf(const std::string& path) { return loadWith(tolvex_load_tvxf, "cannot load", path); }
    /* By extension: .json or .tvxf (any case); std::invalid_argument otherwise. */
    static Model load(const std::string& path) {
        return detail::isJsonPath(path) ? loadJson(path) : loadTvxf(path);
    }

    /* From a model file's bytes in memory (an archive entry, an embedded
     * asset): the library copies what it needs, and the bytes may go once
     * this returns. loadMemory() takes tvxf when the bytes start with
     * "tvxf", otherwise JSON. */
    static Model loadTvxfMemory(const void* data, std::size_t size) {
        return loadMemoryWith(tolvex_load_tvxf_memory, data, size);
    }
    static Model loadJsonMemory(const void* data, std::size_t size) {
        return loadMemoryWith(tolvex_load_json_memory, data, size);
    }
    static Model loadMemory(const void* data, std::size_t size) {
        return size >= 4 && std::memcmp(data, "tvxf", 4) == 0 ? loadTvxfMemory(data, size)
                                                               : loadJsonMemory(data, size);
    }
    /* Any contiguous container of bytes or chars: std::vector<std::uint8_t>,
     * std::string, std::array, a C array (whole: a string literal's array
     * holds its terminating NUL, which a JSON load then refuses as text
     * after the model; pass a std::string or the pointer form instead). */
    template <class C, class = decltype(std::data(std::declval<const C&>()))>
    static Model loadMemory(const C& bytes) {
        static_assert(sizeof(*std::data(bytes)) == 1, "loadMemory takes bytes");
        return loadMemory(std::data(bytes), std::size(bytes));
    }

    void writeJson(const std::string& path) const {
        detail::check(tolvex_write_json(handle(), detail::cPath(path)), "cannot write", path);
    }
    void writeTvxf(const std::string& path) const {
        detail::check(tolvex_write_tvxf(handle(), detail::cPath(path)), "cannot write", path);
    }
    void write(const std::string& path) const { detail::isJsonPath(path) ? writeJson(path) : writeTvxf(path); }

    /* The length of every input vector, and of every output vector. */
    std::uint32_t inputLen() const { return tolvex_get_input_len(handle()); }
    std::uint32_t outputLen() const { return tolvex_get_output_len(handle()); }

    /* One pass over `n` floats; std::invalid_argument unless n is inputLen(). */
    Output forward(const float* input, std::size_t n) {
        detail::checkLength(n == inputLen(), "tolvex::cpp::Model::forward", n, inputLen());
        tolvex_forward_pass(handle(), input, static_cast<std::uint32_t>(n));
        return output();
    }
    /* Any contiguous float container: std::vector, std::array, a C array. */
    template <class C, class = decltype(std::data(std::declval<const C&>()))>
    Output forward(const C& input) {
        return forward(std::data(input), std::size(input));
    }
    Output forward(std::initializer_list<float> input) { return forward(input.begin(), input.size()); }

    /* Many samples in one call, each output with exactly the bits of
     * forward() on that sample alone. `count` input vectors lie one after
     * another at `input` (count * inputLen() floats); their outputs go one
     * after another to `output`, which has room for count * outputLen()
     * floats. The arrays may be one and the same, or overlap as tolvex.h
     * describes. Leaves output() with unspecified contents. */
    void forwardBatch(const float* input, std::size_t count, float* output) {
        tolvex_model* h = handle();
        if (count > UINT32_MAX) throw std::invalid_argument("tolvex::cpp::Model::forwardBatch: over 2^32 samples");
        tolvex_forward_batch(h, input, tolvex_get_input_len(h), static_cast<std::uint32_t>(count), output);
    }
    /* The same with the outputs in a new vector. */
    std::vector<float> forwardBatch(const float* input, std::size_t count) {
        std::vector<float> out(count * outputLen());
        forwardBatch(input, count, out.data());
        return out;
    }
    /* Contiguous float containers: `inputs` holds whole input vectors (a
     * multiple of inputLen() floats, which must not be 0), `outputs` exactly
     * their outputs; std::invalid_argument otherwise. */
    template <class C, class D, class = decltype(std::data(std::declval<const C&>())),
              class = decltype(std::data(std::declval<D&>()))>
    void forwardBatch(const C& inputs, D& outputs) {
        const std::size_t count = samplesIn(std::size(inputs));
        const std::size_t want = count * outputLen();
        detail::checkLength(std::size(outputs) == want, "tolvex::cpp::Model::forwardBatch output", std::size(outputs),
                            want);
        forwardBatch(std::data(inputs), count, std::data(outputs));
    }
    template <class C, class = decltype(std::data(std::declval<const C&>()))>
    std::vector<float> forwardBatch(const C& inputs) {
        return forwardBatch(std::data(inputs), samplesIn(std::size(inputs)));
    }

    /* The last pass's result (undefined contents before the first pass). */
    Output output() const {
        const tolvex_model* h = handle();
        return Output(tolvex_get_output_buffer(h), tolvex_get_output_len(h));
    }
    /* The library's layer listing, on standard error. */
    void printLayers() const { tolvex_print_layers(handle()); }

    tolvex_model* handle() const {
        if (h_ == nullptr) throw std::logic_error("tolvex::cpp::Model is empty");
        return h_;
    }
    explicit operator bool() const noexcept { return h_ != nullptr; }

private:
    /* The number of whole input vectors in n floats. */
    std::size_t samplesIn(std::size_t n) const {
        const std::size_t in = inputLen();
        if (in == 0)
            throw std::invalid_argument(
                "tolvex::cpp::Model::forwardBatch: the model takes no input, so floats cannot count samples; "
                "pass the count");
        if (n % in != 0)
            throw std::invalid_argument("tolvex::cpp::Model::forwardBatch input: " + std::to_string(n) +
                                        " floats given, not a multiple of the input length " +
                                        std::to_string(in));
        return n / in;
    }
    static Model loadMemoryWith(tolvex_result (*load)(tolvex_model**, const void*, std::size_t), const void* data,
                                std::size_t size) {
        Model m;
        tolvex_model* h = nullptr;
        detail::check(load(&h, data, size), "cannot load the model in memory");
        m.h_ = h;
        return m;
    }
    static Model loadWith(tolvex_result (*load)(tolvex_model**, const char*), const char* what,
                          const std::string& path) {
        Model m;
        tolvex_model* h = nullptr;
        // After a failure the handle is unusable and is never freed here.
        detail::check(load(&h, detail::cPath(path)), what, path);
        m.h_ = h;
        return m;
    }

    tolvex_model* h_ = nullptr;
};

}  // namespace tolvex::cpp

#endif /* TOLVEX_HPP_5E1B7C2A */
