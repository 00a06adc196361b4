// The tvxf model file: exact bytes, bit-exact round trips, every rejected
// input with its code, and nothing left allocated or open after a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "algorithm/kernels.hpp"
#include "common/model.hpp"
#include "root/root.hpp"
#include "support/test_allocators.hpp"
#include "tvxf/tvxf.hpp"

using namespace tolvex;
using tolvex::testing::CountingAllocator;
using tolvex::testing::ScopedCAllocator;
namespace fs = std::filesystem;

namespace {

// The error of a failed result; a success shows as a value no error has.
constexpr Error kNoError = static_cast<Error>(255);
template <class R>
Error errorOf(const R& r) {
    return r ? kNoError : r.error();
}

using Bytes = std::vector<uint8_t>;

// A file image built field by field.
struct File {
    Bytes b;
    File& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    File& u32(uint32_t v) {
        uint8_t f[4];
        std::memcpy(f, &v, 4);
        b.insert(b.end(), f, f + 4);
        return *this;
    }
    File& f32(float v) { return u32(std::bit_cast<uint32_t>(v)); }
    File& floats(const std::vector<float>& vs) {
        for (float v : vs) f32(v);
        return *this;
    }
    File& hex(std::string_view h) {
        for (size_t i = 0; i < h.size();) {
            if (h[i] == ' ' || h[i] == '/') {
                ++i;
                continue;
            }
            b.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
            i += 2;
        }
        return *this;
    }
};

File header(uint32_t input_size, uint32_t count) { return File{}.raw("tvxf").u32(input_size).u32(count); }

// A source over memory that does not say how much is left, like a pipe.
struct UnknownLength {
    io::MemoryCursor cur;
    io::ByteSource source() {
        io::ByteSource s = io::memorySource(&cur);
        s.remaining = nullptr;
        return s;
    }
};

Result<Model> loadBytes(Allocator a, const Bytes& bytes, bool known_length = true) {
    UnknownLength mem{{bytes}};
    uint8_t buf[io::kBufferSize];
    io::Reader r(known_length ? io::memorySource(&mem.cur) : mem.source(), buf);
    return tvxf::loadFromReader(a, r);
}

Bytes writeBytes(const Model& m) {
    struct Sink {
        Bytes out;
        static Status write(void* ctx, const uint8_t* src, size_t n) {
            auto* s = static_cast<Sink*>(ctx);
            s->out.insert(s->out.end(), src, src + n);
            return {};
        }
    } sink;
    uint8_t buf[io::kBufferSize];
    io::Writer w(io::ByteSink{&sink, Sink::write}, buf);
    EXPECT_TRUE(tvxf::writeToWriter(m, w).has_value());
    EXPECT_TRUE(w.flush().has_value());
    return sink.out;
}

// Layer definitions over arrays the caller keeps alive.
LayerDefinition def(LayerType t, uint32_t size) {
    LayerDefinition d;
    d.cfg.type = t;
    d.size = size;
    return d;
}
LayerDefinition linear(const std::vector<float>& w, const std::vector<float>& b) {
    LayerDefinition d = def(LayerType::linear, static_cast<uint32_t>(b.size()));
    d.cfg.linear = {w.data(), b.data()};
    return d;
}
LayerDefinition layerNorm(const std::vector<float>& w, const std::vector<float>& b, float eps) {
    LayerDefinition d = def(LayerType::layer_norm, static_cast<uint32_t>(b.size()));
    d.cfg.layer_norm = {w.data(), b.data(), eps};
    return d;
}
LayerDefinition clip(uint32_t size, float lo, float hi) {
    LayerDefinition d = def(LayerType::clip, size);
    d.cfg.clip = {lo, hi};
    return d;
}
LayerDefinition elu(uint32_t size, float alpha) {
    LayerDefinition d = def(LayerType::elu, size);
    d.cfg.elu = {alpha};
    return d;
}
LayerDefinition leaky(uint32_t size, float slope) {
    LayerDefinition d = def(LayerType::leaky_relu, size);
    d.cfg.leaky_relu = {slope};
    return d;
}

Model make(Allocator a, uint32_t input_size, const std::vector<LayerDefinition>& defs) {
    Result<Model> m = create(a, {defs.data(), defs.size()}, input_size);
    EXPECT_TRUE(m.has_value());
    return *m;
}

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }

void expectSameBits(const float* a, const float* b, size_t n) {
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(bits(a[i]), bits(b[i])) << "element " << i;
}

// Same structure, same sharing of buffers, same parameter bits.
void expectSameModel(const Model& x, const Model& y) {
    ASSERT_EQ(x.input_size, y.input_size);
    ASSERT_EQ(x.layers.len, y.layers.len);
    for (size_t i = 0; i < x.layers.len; ++i) {
        SCOPED_TRACE("layer " + std::to_string(i));
        const LayerConfig &a = x.layers[i].cfg, &b = y.layers[i].cfg;
        ASSERT_EQ(a.type, b.type);
        size_t len = x.layers[i].out_buf.len;
        ASSERT_EQ(len, y.layers[i].out_buf.len);
        if (i > 0) {
            EXPECT_EQ(x.layers[i].out_buf.ptr == x.layers[i - 1].out_buf.ptr,
                      y.layers[i].out_buf.ptr == y.layers[i - 1].out_buf.ptr);
        }
        switch (a.type) {
            case LayerType::linear:
                expectSameBits(a.linear.weights, b.linear.weights,
                               len * inputSize(x, static_cast<uint32_t>(i)));
                expectSameBits(a.linear.biases, b.linear.biases, len);
                break;
            case LayerType::layer_norm:
                EXPECT_EQ(bits(a.layer_norm.eps), bits(b.layer_norm.eps));
                expectSameBits(a.layer_norm.weights, b.layer_norm.weights, len);
                expectSameBits(a.layer_norm.biases, b.layer_norm.biases, len);
                break;
            case LayerType::clip:
                EXPECT_EQ(bits(a.clip.min), bits(b.clip.min));
                EXPECT_EQ(bits(a.clip.max), bits(b.clip.max));
                break;
            case LayerType::elu: EXPECT_EQ(bits(a.elu.alpha), bits(b.elu.alpha)); break;
            case LayerType::leaky_relu:
                EXPECT_EQ(bits(a.leaky_relu.negative_slope), bits(b.leaky_relu.negative_slope));
                break;
            default: break;
        }
    }
}

class TempDir {
   public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tolvex_tvxf_XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

void putFile(const std::string& path, const Bytes& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

Bytes getFile(const std::string& path) {
    Bytes out;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    uint8_t buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    ::close(fd);
    return out;
}

size_t openFds() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// The 48-byte example: input 2, linear (weights 0.5, -1, bias 0.25), relu.
const std::vector<float> kExW = {0.5f, -1.0f}, kExB = {0.25f};
const Bytes kExample = File{}
                           .hex("74 76 78 66 02 00 00 00 02 00 00 00")
                           .hex("00 00 00 00 01 00 00 00 02 00 00 00 00 00 00 3f 00 00 80 bf")
                           .hex("01 00 00 00 00 00 80 3e 04 00 00 00 01 00 00 00")
                           .b;

// A file with every type that carries parameters, big enough (9.6 KB of
// weights) that its arrays cross the stream buffer.
struct MixedModel {
    std::vector<float> w1, b1, lw, lb, w2, b2;
    std::vector<LayerDefinition> defs;
    MixedModel() : w1(40 * 60), b1(40), lw(40, 1.0f), lb(40), w2(40 * 3), b2(3) {
        for (size_t i = 0; i < w1.size(); ++i) w1[i] = static_cast<float>(i % 13) * 0.25f - 1.5f;
        for (size_t i = 0; i < b1.size(); ++i) b1[i] = static_cast<float>(i) * 0.125f;
        for (size_t i = 0; i < w2.size(); ++i) w2[i] = static_cast<float>(i % 5) - 2.0f;
        defs = {linear(w1, b1),
                def(LayerType::relu, 40),
                layerNorm(lw, lb, 1e-5f),
                clip(40, -6.0f, 6.0f),
                elu(40, 1.0f),
                def(LayerType::relu6, 40),
                def(LayerType::sigmoid, 40),
                def(LayerType::tanh, 40),
                leaky(40, 0.01f),
                linear(w2, b2)};
    }
    static constexpr uint32_t kInput = 60;
};

class Tvxf : public ::testing::Test {
   protected:
    CountingAllocator counter;
    Allocator a = counter.get();
    void TearDown() override {
        EXPECT_EQ(counter.liveBlocks(), 0u);
        EXPECT_EQ(counter.badFrees(), 0u);
    }
    Result<Model> load(const Bytes& bytes, bool known_length = true) {
        return loadBytes(a, bytes, known_length);
    }
    Error loadError(const Bytes& bytes) {
        Result<Model> m = load(bytes);
        if (m) {
            deinit(*m);
            return Error::Unexpected;
        }
        return m.error();
    }
};

}  // namespace

TEST_F(Tvxf, TwoLayerExampleByteForByte) {
    Model m = make(a, 2, {linear(kExW, kExB), def(LayerType::relu, 1)});
    EXPECT_EQ(writeBytes(m), kExample);
    deinit(m);

    Result<Model> loaded = load(kExample);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->input_size, 2u);
    ASSERT_EQ(loaded->layers.len, 2u);
    EXPECT_EQ(loaded->layers[0].cfg.linear.weights[1], -1.0f);
    EXPECT_EQ(loaded->layers[0].cfg.linear.biases[0], 0.25f);
    EXPECT_EQ(loaded->layers[1].cfg.type, LayerType::relu);
    EXPECT_EQ(loaded->layers[1].out_buf.ptr, loaded->layers[0].out_buf.ptr);
    EXPECT_EQ(writeBytes(*loaded), kExample);
    deinit(*loaded);
}

TEST_F(Tvxf, RecordsOfEveryParameterisedType) {
    std::vector<float> w(4, 0.0f), b(2, 0.0f), one(2, 1.0f), zero(2, 0.0f);
    Model m = make(a, 2,
                   {linear(w, b), layerNorm(one, zero, 1e-5f), clip(2, 0.0f, 6.0f), elu(2, 1.0f),
                    leaky(2, 0.01f), def(LayerType::sigmoid, 2)});
    File expected = header(2, 6).u32(0).u32(2).u32(4).floats(w).u32(2).floats(b);
    expected
        .hex(
            "01 00 00 00 / 02 00 00 00 / ac c5 27 37 / 02 00 00 00 / 00 00 80 3f / 00 00 80 3f / 02 00 00 00 "
            "/ "
            "00 00 00 00 / 00 00 00 00")
        .hex("02 00 00 00 / 02 00 00 00 / 00 00 00 00 / 00 00 c0 40")
        .hex("03 00 00 00 / 02 00 00 00 / 00 00 80 3f")
        .hex("08 00 00 00 / 02 00 00 00 / 0a d7 23 3c")
        .hex("06 00 00 00 / 02 00 00 00");
    ASSERT_EQ(expected.b.size(), 12u + 40 + 36 + 16 + 12 + 12 + 8);
    EXPECT_EQ(writeBytes(m), expected.b);
    deinit(m);

    Result<Model> loaded = load(expected.b);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(writeBytes(*loaded), expected.b);
    deinit(*loaded);
}

TEST_F(Tvxf, ModelWithoutLayersIsTwelveBytes) {
    Model m = make(a, 7, {});
    Bytes bytes = writeBytes(m);
    EXPECT_EQ(bytes, header(7, 0).b);
    deinit(m);
    size_t before = counter.allocations();
    Result<Model> loaded = load(bytes);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->input_size, 7u);
    EXPECT_EQ(loaded->layers.len, 0u);
    EXPECT_EQ(counter.allocations(), before);
}

TEST_F(Tvxf, SpecialValuesSurviveBitForBit) {
    const float specials[] = {
        std::bit_cast<float>(0x7fc00001u),
        std::bit_cast<float>(0xffbfffffu),  // quiet and signalling NaNs
        std::bit_cast<float>(0x7f800001u),
        -0.0f,
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::bit_cast<float>(0x00000001u),
        std::bit_cast<float>(0x807fffffu),
    };
    const size_t n = std::size(specials);
    for (size_t k = 0; k < n; ++k) {
        float s = specials[k];
        std::vector<float> w(3 * n), b(n), lw(n), lb(n);
        for (size_t i = 0; i < w.size(); ++i) w[i] = specials[(i + k) % n];
        for (size_t i = 0; i < n; ++i) b[i] = lw[i] = lb[i] = specials[(i + k + 1) % n];
        Model m = make(a, 3,
                       {linear(w, b), layerNorm(lw, lb, s), clip(static_cast<uint32_t>(n), s, -s),
                        elu(static_cast<uint32_t>(n), s), leaky(static_cast<uint32_t>(n), s)});
        Bytes bytes = writeBytes(m);
        Result<Model> loaded = load(bytes);
        ASSERT_TRUE(loaded.has_value());
        expectSameModel(m, *loaded);
        EXPECT_EQ(writeBytes(*loaded), bytes);
        deinit(*loaded);
        deinit(m);
    }
}

TEST_F(Tvxf, MagicMustBeExact) {
    for (std::string_view shorter : {"", "t", "tv", "tvx", "abc"})
        EXPECT_EQ(loadError(File{}.raw(shorter).b), Error::EndOfStream) << shorter;
    EXPECT_EQ(loadError(File{}.raw("tvxf").b), Error::EndOfStream);
    EXPECT_EQ(loadError(File{}.raw("tvxf").u32(2).b), Error::EndOfStream);
    using namespace std::literals;
    for (std::string_view magic : {"Tvxf"sv, "tvxF"sv, "TVXF"sv, "tvxg"sv, "fxvt"sv, "\0vxf"sv}) {
        Bytes wrong = kExample;
        std::memcpy(wrong.data(), magic.data(), 4);
        EXPECT_EQ(loadError(wrong), Error::HeaderMismatch) << magic;
        // Decided on the magic alone, before anything else is read.
        EXPECT_EQ(loadError(File{}.raw(magic.substr(0, 4)).b), Error::HeaderMismatch) << magic;
    }
    EXPECT_EQ(counter.allocations(), 0u);
}

TEST_F(Tvxf, BytesAfterTheLastRecordAreIgnored) {
    Bytes longer = kExample;
    for (std::string_view tail : {"x", "tvxf", "\xff\xff\xff\xff\xff\xff\xff\xff"}) {
        longer.insert(longer.end(), tail.begin(), tail.end());
        Result<Model> m = load(longer);
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(writeBytes(*m), kExample);
        deinit(*m);
    }
}

TEST_F(Tvxf, EveryTruncationFailsAndFreesEverything) {
    MixedModel mm;
    Model m = make(a, MixedModel::kInput, mm.defs);
    Bytes full = writeBytes(m);
    deinit(m);
    ASSERT_GT(full.size(), 2 * io::kBufferSize);
    for (bool known : {true, false}) {
        for (size_t len = 0; len < full.size(); ++len) {
            Bytes cut(full.begin(), full.begin() + static_cast<ptrdiff_t>(len));
            Result<Model> r = load(cut, known);
            ASSERT_FALSE(r.has_value()) << len;
            ASSERT_EQ(r.error(), Error::EndOfStream) << len;
            ASSERT_EQ(counter.liveBlocks(), 0u) << len;
        }
        Result<Model> whole = load(full, known);
        ASSERT_TRUE(whole.has_value());
        EXPECT_EQ(writeBytes(*whole), full);
        deinit(*whole);
    }
}

TEST_F(Tvxf, FailingAllocationAtEveryStepFreesEverything) {
    MixedModel mm;
    Model m = make(a, MixedModel::kInput, mm.defs);
    Bytes full = writeBytes(m);
    deinit(m);
    for (bool known : {true, false}) {
        size_t k = 1;
        for (;; ++k) {
            counter.failAt(k);
            Result<Model> r = load(full, known);
            counter.failAt(0);
            if (r) {
                deinit(*r);
                break;
            }
            ASSERT_EQ(r.error(), Error::OutOfMemory) << k;
            ASSERT_EQ(counter.liveBlocks(), 0u) << k;
        }
        // Layer array, two linear layers with three arrays each, layer norm's
        // two, the forward scratch.
        EXPECT_EQ(k, 11u);
    }
}

TEST_F(Tvxf, ArraysOfUnknownLengthGrowAsTheDataArrives) {
    // Over a megabyte of weights from a source of unknown length: the array
    // grows to its final length, and a failure while growing frees it.
    std::vector<float> w(600 * 500), b(600);
    for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<float>(i);
    Model m = make(a, 500, {linear(w, b)});
    Bytes full = writeBytes(m);
    const size_t model_blocks = counter.liveBlocks();
    for (size_t k = 1;; ++k) {
        counter.failAt(k);
        Result<Model> r = load(full, false);
        counter.failAt(0);
        if (r) {
            expectSameModel(m, *r);
            deinit(*r);
            break;
        }
        ASSERT_EQ(r.error(), Error::OutOfMemory) << k;
        ASSERT_EQ(counter.liveBlocks(), model_blocks) << k;
    }
    deinit(m);
}

TEST_F(Tvxf, RefusesFilesThatBreakTheModel) {
    struct Case {
        const char* what;
        File file;
        Error expected;
    };
    auto lin = [](File f, uint32_t size, uint32_t in) {
        std::vector<float> w(size_t{size} * in, 1.0f), b(size, 0.5f);
        return f.u32(0).u32(size).u32(size * in).floats(w).u32(size).floats(b);
    };
    const Case cases[] = {
        {"type 9", header(2, 1).u32(9).u32(2), Error::UnsupportedLayerType},
        {"type 2^32-1", lin(header(2, 2), 3, 2).u32(0xffffffffu).u32(3), Error::UnsupportedLayerType},
        {"linear weights short",
         header(2, 1).u32(0).u32(3).u32(5).floats({1, 2, 3, 4, 5}).u32(3).floats({0, 0, 0}),
         Error::WrongNumberOfWeights},
        {"linear weights long", header(2, 1).u32(0).u32(1).u32(3).floats({1, 2, 3}).u32(1).floats({0}),
         Error::WrongNumberOfWeights},
        {"linear weights beyond 32 bits", header(65536, 1).u32(0).u32(65536).u32(0).u32(65536),
         Error::WrongNumberOfWeights},
        {"linear weights wrapped to 32 bits",
         header(65536, 1).u32(0).u32(65537).u32(65536).floats(std::vector<float>(65536)),
         Error::WrongNumberOfWeights},
        {"linear biases", header(2, 1).u32(0).u32(1).u32(2).floats({1, 2}).u32(2).floats({0, 0}),
         Error::WeightsBiasesMismatch},
        {"layer_norm weights", header(2, 1).u32(1).u32(2).f32(1e-5f).u32(1).floats({1}).u32(2).floats({0, 0}),
         Error::WrongNumberOfWeights},
        {"layer_norm biases",
         header(2, 1).u32(1).u32(2).f32(1e-5f).u32(2).floats({1, 1}).u32(3).floats({0, 0, 0}),
         Error::WeightsBiasesMismatch},
        // A shared layer_norm's arrays follow the buffer it shares, not its
        // own size field.
        {"shared layer_norm",
         lin(header(2, 2), 3, 2).u32(1).u32(2).f32(0.5f).u32(2).floats({1, 1}).u32(2).floats({0, 0}),
         Error::WrongNumberOfWeights},
        {"shared layer_norm biases",
         lin(header(2, 2), 3, 2).u32(1).u32(3).f32(0.5f).u32(3).floats({1, 1, 1}).u32(2).floats({0, 0}),
         Error::WeightsBiasesMismatch},
        {"first relu too long", header(2, 1).u32(4).u32(3), Error::WrongLayerSize},
        {"first layer_norm short", header(2, 1).u32(1).u32(1).f32(0.5f).u32(1).floats({1}).u32(1).floats({0}),
         Error::WrongLayerSize},
        {"first clip", header(2, 1).u32(2).u32(0).f32(0).f32(1), Error::WrongLayerSize},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(loadError(c.file.b), c.expected) << c.what;
        EXPECT_EQ(counter.liveBlocks(), 0u) << c.what;
    }
}

TEST_F(Tvxf, HugeCountsFailBeforeAnyBigAllocation) {
    // 20 bytes claiming a linear layer of 2^32-1 neurons.
    Bytes tiny = header(1, 1).u32(0).u32(0xffffffffu).b;
    ASSERT_EQ(tiny.size(), 20u);
    const Bytes claims[] = {
        tiny,
        header(1, 0xffffffffu).b,                                   // four billion layers
        header(65535, 1).u32(0).u32(65535).u32(65535u * 65535u).b,  // 16 GB of weights, none present
        header(1, 1).u32(0).u32(0x40000000u).u32(0x40000000u).f32(1).b,
        header(2, 1).u32(1).u32(2).f32(1).u32(2).floats({1, 1}).u32(2).f32(0).b,
    };
    for (bool known : {true, false}) {
        for (const Bytes& bytes : claims) {
            Result<Model> r = load(bytes, known);
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(errorOf(r), Error::EndOfStream);
            // Known length: nothing beyond one layer record and a few
            // floats. Unknown: the first step of a growing array.
            EXPECT_LE(counter.peakBytes(), known ? sizeof(Layer) + 16 : (2u << 20)) << bytes.size();
        }
    }
}

TEST_F(Tvxf, LaterNonLinearSizeFieldHasNoEffect) {
    for (uint32_t field : {0u, 3u, 7u, 0xffffffffu}) {
        std::vector<float> w(6, 1.0f), b(3, 0.0f);
        Bytes bytes = header(2, 3)
                          .u32(0)
                          .u32(3)
                          .u32(6)
                          .floats(w)
                          .u32(3)
                          .floats(b)
                          .u32(4)
                          .u32(field)
                          .u32(2)
                          .u32(field)
                          .f32(-1)
                          .f32(1)
                          .b;
        Result<Model> m = load(bytes);
        ASSERT_TRUE(m.has_value()) << field;
        for (size_t i = 1; i < 3; ++i) {
            EXPECT_EQ(m->layers[i].out_buf.len, 3u);
            EXPECT_EQ(m->layers[i].out_buf.ptr, m->layers[0].out_buf.ptr);
        }
        deinit(*m);
    }
}

TEST_F(Tvxf, FirstLayerOwnsItsBufferAndEmptyArraysAreNotAllocated) {
    Result<Model> m = load(header(3, 2).u32(4).u32(3).u32(6).u32(3).f32(0.5f).b);
    ASSERT_TRUE(m.has_value());
    EXPECT_NE(m->layers[0].out_buf.ptr, nullptr);
    EXPECT_EQ(m->layers[0].out_buf.len, 3u);
    EXPECT_EQ(m->layers[1].out_buf.ptr, m->layers[0].out_buf.ptr);
    EXPECT_EQ(counter.liveBlocks(), 3u);  // the layer array, one buffer, the scratch
    deinit(*m);

    // A linear layer of size 0 and one of input 0: only the layer array, the
    // second layer's biases and buffer, and the scratch for an input of 4 exist.
    m = load(header(4, 2).u32(0).u32(0).u32(0).u32(0).u32(0).u32(2).u32(0).u32(2).floats({1, 2}).b);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(counter.liveBlocks(), 4u);
    EXPECT_EQ(m->layers[0].out_buf.len, 0u);
    deinit(*m);
}

TEST_F(Tvxf, WriteFailureAtEveryByteIsWriteFailed) {
    Model m = make(a, 2, {linear(kExW, kExB), def(LayerType::relu, 1)});
    for (size_t limit = 0; limit < kExample.size(); ++limit) {
        struct Sink {
            size_t left;
            static Status write(void* ctx, const uint8_t*, size_t n) {
                auto* s = static_cast<Sink*>(ctx);
                if (n > s->left) return fail(Error::WriteFailed);
                s->left -= n;
                return {};
            }
        } sink{limit};
        uint8_t buf[8];  // small, so the failure can come from an append
        io::Writer w(io::ByteSink{&sink, Sink::write}, buf);
        Status s = tvxf::writeToWriter(m, w);
        if (s) s = w.flush();
        EXPECT_EQ(errorOf(s), Error::WriteFailed) << limit;
    }
    deinit(m);
}

// The exported functions, on real files.
class TvxfFiles : public ::testing::Test {
   protected:
    CountingAllocator counter;
    ScopedCAllocator scope{counter};
    TempDir dir;
    size_t fds_before = openFds();
    void TearDown() override {
        EXPECT_EQ(counter.liveBlocks(), 0u);
        EXPECT_EQ(counter.badFrees(), 0u);
        EXPECT_EQ(openFds(), fds_before);
    }
    tolvex_model* exampleModel() {
        tolvex_model_definition* d = nullptr;
        EXPECT_EQ(tolvex_new_model_definition(&d, 2), tolvex_Success);
        EXPECT_EQ(tolvex_add_linear(d, {kExW.data(), kExB.data()}, 1), tolvex_Success);
        EXPECT_EQ(tolvex_add_relu(d, 1), tolvex_Success);
        tolvex_model* net = nullptr;
        EXPECT_EQ(tolvex_create(&net, d), tolvex_Success);
        tolvex_free_model_definition(d);
        return net;
    }
    tolvex_result loadResult(const std::string& path) {
        auto* sentinel = reinterpret_cast<tolvex_model*>(uintptr_t{0x1234});
        tolvex_model* net = sentinel;
        tolvex_result r = tolvex_load_tvxf(&net, path.c_str());
        if (r == tolvex_Success) {
            tolvex_free_model(net);
        } else {
            EXPECT_EQ(net, nullptr);
        }
        return r;
    }
};

TEST_F(TvxfFiles, WriteLoadWriteGivesTheSameFile) {
    tolvex_model* net = exampleModel();
    std::string p1 = dir / "a.tvxf", p2 = dir / "b.tvxf";
    ASSERT_EQ(tolvex_write_tvxf(net, p1.c_str()), tolvex_Success);
    EXPECT_EQ(getFile(p1), kExample);
    tolvex_model* loaded = nullptr;
    ASSERT_EQ(tolvex_load_tvxf(&loaded, p1.c_str()), tolvex_Success);
    ASSERT_EQ(tolvex_write_tvxf(loaded, p2.c_str()), tolvex_Success);
    EXPECT_EQ(getFile(p2), kExample);
    tolvex_free_model(loaded);
    tolvex_free_model(net);
}

TEST_F(TvxfFiles, LoadedModelComputesTheSameBits) {
    MixedModel mm;
    tolvex_model_definition* d = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&d, MixedModel::kInput), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(d, {mm.w1.data(), mm.b1.data()}, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_relu(d, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_layer_norm(d, {mm.lw.data(), mm.lb.data(), 1e-5f}, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_clip(d, {-6.0f, 6.0f}, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_elu(d, {1.0f}, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_sigmoid(d, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_leaky_relu(d, {0.01f}, 40), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(d, {mm.w2.data(), mm.b2.data()}, 3), tolvex_Success);
    tolvex_model* net = nullptr;
    ASSERT_EQ(tolvex_create(&net, d), tolvex_Success);
    tolvex_free_model_definition(d);
    std::string path = dir / "m.tvxf";
    ASSERT_EQ(tolvex_write_tvxf(net, path.c_str()), tolvex_Success);
    tolvex_model* loaded = nullptr;
    ASSERT_EQ(tolvex_load_tvxf(&loaded, path.c_str()), tolvex_Success);

    std::vector<float> input(MixedModel::kInput);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(i) * 0.37f - 5.0f;
    tolvex_forward_pass(net, input.data(), MixedModel::kInput);
    tolvex_forward_pass(loaded, input.data(), MixedModel::kInput);
    ASSERT_EQ(tolvex_get_output_len(loaded), 3u);
    expectSameBits(tolvex_get_output_buffer(net), tolvex_get_output_buffer(loaded), 3);
    tolvex_free_model(loaded);
    tolvex_free_model(net);
}

TEST_F(TvxfFiles, OpenFailures) {
    tolvex_model* net = exampleModel();
    EXPECT_EQ(loadResult(dir / "absent.tvxf"), tolvex_FileNotFound);
    EXPECT_EQ(loadResult(dir / "no/dir/m.tvxf"), tolvex_FileNotFound);
    EXPECT_EQ(tolvex_write_tvxf(net, (dir / "no/dir/m.tvxf").c_str()), tolvex_FileNotFound);
    EXPECT_EQ(loadResult(dir.path()), tolvex_ReadFailed);
    EXPECT_EQ(tolvex_write_tvxf(net, dir.path().c_str()), tolvex_IsDir);
    std::string long_path = dir.path() + std::string(4096 - dir.path().size() - 1, '/') + "x";
    ASSERT_EQ(long_path.size(), 4096u);
    EXPECT_EQ(loadResult(long_path), tolvex_NameTooLong);
    EXPECT_EQ(tolvex_write_tvxf(net, long_path.c_str()), tolvex_NameTooLong);
    EXPECT_FALSE(fs::exists(dir / "x"));
    EXPECT_EQ(tolvex_write_tvxf(net, "/dev/full"), tolvex_WriteFailed);
    tolvex_free_model(net);
}

TEST_F(TvxfFiles, WritingOverALongerFileLeavesOnlyTheNewContent) {
    std::string path = dir / "m.tvxf";
    putFile(path, Bytes(100000, 0xab));
    tolvex_model* net = exampleModel();
    ASSERT_EQ(tolvex_write_tvxf(net, path.c_str()), tolvex_Success);
    EXPECT_EQ(getFile(path), kExample);
    tolvex_free_model(net);
}

TEST_F(TvxfFiles, TruncatedFilesFailAndFreeEverything) {
    std::string path = dir / "cut.tvxf";
    for (size_t len = 0; len < kExample.size(); ++len) {
        putFile(path, Bytes(kExample.begin(), kExample.begin() + static_cast<ptrdiff_t>(len)));
        EXPECT_EQ(loadResult(path), tolvex_EndOfStream) << len;
        ASSERT_EQ(counter.liveBlocks(), 0u);
    }
    putFile(path, header(2, 1).u32(9).u32(2).b);
    EXPECT_EQ(loadResult(path), tolvex_UnsupportedLayerType);
}

TEST_F(TvxfFiles, FailingAllocationAtEveryStep) {
    // Record, layer array, weights, biases, buffer, the forward scratch, and
    // the packed copy where the active implementation reads one (none on the
    // baseline).
    std::string path = dir / "m.tvxf";
    putFile(path, kExample);
    struct Unforce {
        ~Unforce() { tolvex::forceImplementation(nullptr); }
    } unforce;
    for (const tolvex::KernelTable* impl : tolvex::availableImplementations()) {
        tolvex::forceImplementation(impl);
        const size_t allocations = impl->packing != nullptr ? 7 : 6;
        for (size_t k = 1;; ++k) {
            counter.failAt(k);
            tolvex_model* net = nullptr;
            tolvex_result r = tolvex_load_tvxf(&net, path.c_str());
            counter.failAt(0);
            if (r == tolvex_Success) {
                tolvex_free_model(net);
                EXPECT_EQ(k, allocations + 1) << impl->name;
                break;
            }
            ASSERT_EQ(r, tolvex_OutOfMemory) << impl->name << " " << k;
            ASSERT_EQ(net, nullptr);
            ASSERT_EQ(counter.liveBlocks(), 0u) << impl->name << " " << k;
        }
    }
}

TEST_F(TvxfFiles, PipeClaimingHugeCountsFailsWithoutReservingIt) {
    // A FIFO has no known length, so the arrays grow with the data.
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes claim = header(65535, 1).u32(0).u32(65535).u32(65535u * 65535u).b;
    claim.resize(claim.size() + 3 * 1024 * 1024, 0);
    std::thread feeder([&] {
        int fd = ::open(fifo.c_str(), O_WRONLY);
        size_t at = 0;
        while (at < claim.size()) {
            ssize_t n = ::write(fd, claim.data() + at, claim.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        ::close(fd);
    });
    EXPECT_EQ(loadResult(fifo), tolvex_EndOfStream);
    feeder.join();
    EXPECT_LE(counter.peakBytes(), 16u << 20);
}
