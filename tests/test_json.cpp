// The JSON model file: the exact text the writer produces, write-then-load
// round trips, every failure of the loader with its code and in its order,
// clean-up on every failure, and the exported file functions.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "common/model.hpp"
#include "io/io.hpp"
#include "json/json.hpp"
#include "root/root.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;
using tolvex::testing::CountingAllocator;
using tolvex::testing::ScopedCAllocator;

namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

std::string writeText(const Model& model) {
    std::string out;
    io::ByteSink sink{&out, [](void* ctx, const uint8_t* src, size_t n) -> Status {
                          static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(src), n);
                          return {};
                      }};
    uint8_t buf[io::kBufferSize];
    io::Writer writer(sink, buf);
    EXPECT_TRUE(json::writeToWriter(model, writer));
    EXPECT_TRUE(writer.flush());
    return out;
}

Result<Model> loadText(Allocator a, const std::string& text) {
    io::MemoryCursor cursor{{reinterpret_cast<const uint8_t*>(text.data()), text.size()}, 0};
    uint8_t buf[io::kBufferSize];
    io::Reader reader(io::memorySource(&cursor), buf);
    return json::loadFromReader(a, reader);
}

// Layer definitions that keep their arrays alive for create().
struct Defs {
    uint32_t input_size = 0;
    std::vector<LayerDefinition> layers;
    std::vector<std::vector<float>> arrays;

    const float* keep(std::vector<float> v) {
        arrays.push_back(std::move(v));
        return arrays.back().data();
    }
    Defs& linear(uint32_t size, std::vector<float> w, std::vector<float> b) {
        LayerDefinition d;
        d.cfg.type = LayerType::linear;
        d.cfg.linear.weights = keep(std::move(w));
        d.cfg.linear.biases = keep(std::move(b));
        d.size = size;
        layers.push_back(d);
        return *this;
    }
    Defs& layerNorm(uint32_t size, std::vector<float> w, std::vector<float> b, float eps) {
        LayerDefinition d;
        d.cfg.type = LayerType::layer_norm;
        d.cfg.layer_norm.weights = keep(std::move(w));
        d.cfg.layer_norm.biases = keep(std::move(b));
        d.cfg.layer_norm.eps = eps;
        d.size = size;
        layers.push_back(d);
        return *this;
    }
    Defs& plain(LayerType type, uint32_t size, float p0 = 0, float p1 = 0) {
        LayerDefinition d;
        d.cfg.type = type;
        if (type == LayerType::clip) d.cfg.clip = {p0, p1};
        if (type == LayerType::elu) d.cfg.elu = {p0};
        if (type == LayerType::leaky_relu) d.cfg.leaky_relu = {p0};
        d.size = size;
        layers.push_back(d);
        return *this;
    }
    Model build(Allocator a) const {
        auto m = create(a, {layers.data(), layers.size()}, input_size);
        EXPECT_TRUE(m);
        return *m;
    }
};

std::vector<uint32_t> floatBits(const float* p, size_t n) {
    std::vector<uint32_t> v(n);
    for (size_t k = 0; k < n; ++k) v[k] = bits(p[k]);
    return v;
}

// Same layers, sizes, buffer sharing and parameter bits.
void expectSameModel(const Model& a, const Model& b) {
    ASSERT_EQ(a.input_size, b.input_size);
    ASSERT_EQ(a.layers.len, b.layers.len);
    for (size_t i = 0; i < a.layers.len; ++i) {
        const Layer& x = a.layers[i];
        const Layer& y = b.layers[i];
        SCOPED_TRACE("layer " + std::to_string(i));
        ASSERT_EQ(x.cfg.type, y.cfg.type);
        ASSERT_EQ(x.out_buf.len, y.out_buf.len);
        if (i > 0) {
            EXPECT_EQ(x.out_buf.ptr == a.layers[i - 1].out_buf.ptr, y.out_buf.ptr == b.layers[i - 1].out_buf.ptr);
        }
        size_t len = x.out_buf.len;
        size_t in = inputSize(a, static_cast<uint32_t>(i));
        switch (x.cfg.type) {
            case LayerType::linear:
                EXPECT_EQ(floatBits(x.cfg.linear.weights, len * in), floatBits(y.cfg.linear.weights, len * in));
                EXPECT_EQ(floatBits(x.cfg.linear.biases, len), floatBits(y.cfg.linear.biases, len));
                break;
            case LayerType::layer_norm:
                EXPECT_EQ(floatBits(x.cfg.layer_norm.weights, len), floatBits(y.cfg.layer_norm.weights, len));
                EXPECT_EQ(floatBits(x.cfg.layer_norm.biases, len), floatBits(y.cfg.layer_norm.biases, len));
                EXPECT_EQ(bits(x.cfg.layer_norm.eps), bits(y.cfg.layer_norm.eps));
                break;
            case LayerType::clip:
                EXPECT_EQ(bits(x.cfg.clip.min), bits(y.cfg.clip.min));
                EXPECT_EQ(bits(x.cfg.clip.max), bits(y.cfg.clip.max));
                break;
            case LayerType::elu: EXPECT_EQ(bits(x.cfg.elu.alpha), bits(y.cfg.elu.alpha)); break;
            case LayerType::leaky_relu:
                EXPECT_EQ(bits(x.cfg.leaky_relu.negative_slope), bits(y.cfg.leaky_relu.negative_slope));
                break;
            default: break;
        }
    }
}

class JsonModel : public ::testing::Test {
protected:
    CountingAllocator counter;
    Allocator a() { return counter.get(); }
    void TearDown() override {
        EXPECT_EQ(counter.liveBlocks(), 0u);
        EXPECT_EQ(counter.badFrees(), 0u);
    }
    Error loadError(const std::string& text) {
        size_t live = counter.liveBlocks();
        auto m = loadText(a(), text);
        if (m) {
            deinit(*m);
            return Error::Unexpected;  // stands for "loaded"
        }
        EXPECT_EQ(counter.liveBlocks(), live) << text;
        return m.error();
    }
};

std::string modelText(const std::string& layers, uint32_t input_size = 2) {
    return "{\"input_size\":" + std::to_string(input_size) + ",\"layers\":[" + layers + "]}";
}

const char kWorkedExample[] =
    R"({"input_size":2,"layers":[{"type":"linear","size":1,"weight":[[0.5,-0.25]],"bias":[0.125]},{"type":"relu","size":1}]})";

}  // namespace

// ---------------------------------------------------------------------------
// The writer's text.

TEST_F(JsonModel, WorkedExampleByteForByteAndBack) {
    Defs d;
    d.input_size = 2;
    d.linear(1, {0.5f, -0.25f}, {0.125f}).plain(LayerType::relu, 1);
    Model m = d.build(a());
    std::string text = writeText(m);
    EXPECT_EQ(text, kWorkedExample);
    EXPECT_EQ(text.size(), 117u);

    auto loaded = loadText(a(), text);
    ASSERT_TRUE(loaded);
    expectSameModel(m, *loaded);
    EXPECT_EQ(loaded->layers[1].out_buf.ptr, loaded->layers[0].out_buf.ptr);
    EXPECT_EQ(loaded->layers[0].cfg.linear.weights[1], -0.25f);
    EXPECT_EQ(loaded->layers[0].cfg.linear.biases[0], 0.125f);
    deinit(*loaded);
    deinit(m);
}

TEST_F(JsonModel, LayerObjectsOfEveryParameterShape) {
    Defs two;
    two.input_size = 2;
    Defs three;
    three.input_size = 3;
    struct Case {
        Model model;
        const char* layer;
    } cases[] = {
        {Defs(two).layerNorm(2, {1, 1}, {0, 0}, 1e-5f).build(a()),
         R"({"type":"layer_norm","size":2,"weight":[1,1],"bias":[0,0],"eps":0.000009999999747378752})"},
        {Defs(two).plain(LayerType::clip, 2, -1, 1).build(a()), R"({"type":"clip","size":2,"min":-1,"max":1})"},
        {Defs(two).plain(LayerType::elu, 2, 1).build(a()), R"({"type":"elu","size":2,"alpha":1})"},
        {Defs(two).plain(LayerType::leaky_relu, 2, 0.01f).build(a()),
         R"({"type":"leaky_relu","size":2,"negative_slope":0.009999999776482582})"},
        {Defs(two).plain(LayerType::sigmoid, 2).build(a()), R"({"type":"sigmoid","size":2})"},
        {Defs(three).linear(2, {1, 2, 3, 4, 5, 6}, {7, 8}).build(a()),
         R"({"type":"linear","size":2,"weight":[[1,2,3],[4,5,6]],"bias":[7,8]})"},
    };
    for (const Case& c : cases) {
        std::string text = writeText(c.model);
        EXPECT_EQ(text, modelText(c.layer, c.model.input_size));
        auto loaded = loadText(a(), text);
        ASSERT_TRUE(loaded) << text;
        expectSameModel(c.model, *loaded);
        deinit(*loaded);
        deinit(c.model);
    }
}

TEST_F(JsonModel, FloatTexts) {
    const float smallest = std::bit_cast<float>(uint32_t{1});
    struct Case {
        float v;
        std::string text;
    } cases[] = {
        {0.5f, "0.5"},
        {-0.25f, "-0.25"},
        {1.0f, "1"},
        {-2.0f, "-2"},
        {100.0f, "100"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {0.1f, "0.10000000149011612"},
        {1e-5f, "0.000009999999747378752"},
        {0.01f, "0.009999999776482582"},
        {3.4e38f, "339999995214436420000000000000000000000"},
        {smallest, "0." + std::string(44, '0') + "1401298464324817"},
        {std::nanf(""), "\"nan\""},
        {-std::nanf(""), "\"-nan\""},
        {INFINITY, "inf"},
        {-INFINITY, "-inf"},
    };
    for (const Case& c : cases) {
        Defs d;
        d.input_size = 1;
        d.plain(LayerType::elu, 1, c.v);
        Model m = d.build(a());
        EXPECT_EQ(writeText(m), modelText(R"({"type":"elu","size":1,"alpha":)" + c.text + "}", 1)) << c.text;
        deinit(m);
    }
}

TEST_F(JsonModel, NoLayers) {
    Defs d;
    d.input_size = 3;
    Model m = d.build(a());
    EXPECT_EQ(writeText(m), R"({"input_size":3,"layers":[]})");
    auto loaded = loadText(a(), R"({"input_size":3,"layers":[]})");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->input_size, 3u);
    EXPECT_EQ(loaded->layers.len, 0u);
    deinit(*loaded);
    deinit(m);
}

TEST_F(JsonModel, WriteFailureIsWriteFailed) {
    Defs d;
    d.input_size = 2;
    d.linear(1, {0.5f, -0.25f}, {0.125f}).plain(LayerType::relu, 1);
    Model m = d.build(a());
    size_t budget = 0;
    io::ByteSink sink{&budget, [](void* ctx, const uint8_t*, size_t) -> Status {
                          size_t& left = *static_cast<size_t*>(ctx);
                          if (left == 0) return fail(Error::WriteFailed);
                          --left;
                          return {};
                      }};
    uint8_t buf[16];  // a small buffer makes the writer hand over bytes early
    io::Writer writer(sink, buf);
    Status s = json::writeToWriter(m, writer);
    if (s) s = writer.flush();
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error(), Error::WriteFailed);
    deinit(m);
}

// ---------------------------------------------------------------------------
// Round trips.

TEST_F(JsonModel, RandomModelsOfAllNineTypesRoundTripBitForBit) {
    std::mt19937 rng(12345);
    const float specials[] = {1.0f, -2.0f, -0.0f, 0.0f, FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_MIN,
                              std::bit_cast<float>(uint32_t{1}), -std::bit_cast<float>(uint32_t{1}),
                              std::bit_cast<float>(uint32_t{0x007FFFFF}), 3.4e38f, 0.1f, 1e-5f, 16777217.0f};
    auto randomFloat = [&]() -> float {
        if (rng() % 4 == 0) return specials[rng() % std::size(specials)];
        for (;;) {
            float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
            if (std::isfinite(f)) return f;
        }
    };
    auto floats = [&](size_t n) {
        std::vector<float> v(n);
        for (float& f : v) f = randomFloat();
        return v;
    };

    for (int round = 0; round < 40; ++round) {
        Defs d;
        d.input_size = rng() % 5;
        std::vector<LayerType> types;
        for (uint32_t t = 0; t < kLayerTypeCount; ++t) types.push_back(static_cast<LayerType>(t));
        for (int k = rng() % 4; k > 0; --k) types.push_back(static_cast<LayerType>(rng() % kLayerTypeCount));
        std::shuffle(types.begin(), types.end(), rng);
        uint32_t prev = d.input_size;
        for (LayerType t : types) {
            switch (t) {
                case LayerType::linear: {
                    uint32_t size = rng() % 5;
                    d.linear(size, floats(size * prev), floats(size));
                    prev = size;
                    break;
                }
                case LayerType::layer_norm: d.layerNorm(prev, floats(prev), floats(prev), randomFloat()); break;
                default: d.plain(t, prev, randomFloat(), randomFloat()); break;
            }
        }
        Model m = d.build(a());
        std::string text = writeText(m);
        auto loaded = loadText(a(), text);
        ASSERT_TRUE(loaded) << text;
        expectSameModel(m, *loaded);
        EXPECT_EQ(writeText(*loaded), text);

        // The loaded model computes what the original computes.
        if (m.layers.len != 0) {
            std::vector<float> input = floats(m.input_size);
            forwardPass(m, {input.data(), input.size()});
            forwardPass(*loaded, {input.data(), input.size()});
            Slice<float> x = getOutputBuffer(m), y = getOutputBuffer(*loaded);
            EXPECT_EQ(floatBits(x.ptr, x.len), floatBits(y.ptr, y.len));
        }
        deinit(*loaded);
        deinit(m);
    }
}

TEST_F(JsonModel, HandWrittenFileLoadsLikeTheCompactForm) {
    const std::string compact = modelText(
        R"({"type":"linear","size":2,"weight":[[1,2],[3,4]],"bias":[0.5,-0.5]},{"type":"relu","size":2},)"
        R"({"type":"layer_norm","size":2,"weight":[1,1],"bias":[0,0],"eps":0.001},)"
        R"({"type":"clip","size":2,"min":-1,"max":1},{"type":"elu","size":2,"alpha":0.5},)"
        R"({"type":"leaky_relu","size":2,"negative_slope":0.25},{"type":"tanh","size":2})");
    const std::string by_hand = R"(
    {
        "comment": "keys in any order, extra keys, and a relu without its size",
        "layers": [
            {
                "bias": [ 0.5, -0.5 ],
                "weight": [
                    [ 1, 2.0 ],
                    [ 3e0, 0.4E1 ]
                ],
                "comment": { "nested": [ "anything", 1, null ] },
                "size": 2,
                "type": "linear"
            },
            { "type": "relu" },
            { "eps": 1e-3, "bias": [0, 0.0e5], "weight": [1, 1], "type": "layer_norm", "size": 99 },
            { "max": 1, "min": -1, "type": "clip", "alpha": "ignored" },
            { "alpha": 0.5, "type": "elu" },
            { "negative_slope": 0.25, "type": "leaky_relu", "weight": "ignored" },
            { "type" : "tanh" , "size" : 2 }
        ],
        "input_size": 2,
        "version": [1, 2, 3]
    }

)";
    auto x = loadText(a(), compact);
    auto y = loadText(a(), by_hand);
    ASSERT_TRUE(x);
    ASSERT_TRUE(y);
    expectSameModel(*x, *y);
    EXPECT_EQ(writeText(*y), compact.substr(0, compact.find("0.001")) + "0.0010000000474974513" +
                                 compact.substr(compact.find("0.001") + 5));
    deinit(*x);
    deinit(*y);
}

TEST_F(JsonModel, DefaultsHaveTheirExactBits) {
    auto m = loadText(a(), modelText(R"({"type":"elu","size":2},{"type":"leaky_relu"},)"
                                     R"({"type":"layer_norm","weight":[1,2],"bias":[3,4]})"));
    ASSERT_TRUE(m);
    EXPECT_EQ(bits(m->layers[0].cfg.elu.alpha), bits(1.0f));
    EXPECT_EQ(bits(m->layers[1].cfg.leaky_relu.negative_slope), 0x3C23D70Au);
    EXPECT_EQ(bits(m->layers[2].cfg.layer_norm.eps), 0x3727C5ACu);
    EXPECT_EQ(m->layers[2].out_buf.ptr, m->layers[0].out_buf.ptr);
    deinit(*m);
}

TEST_F(JsonModel, ParametersAreRoundedThroughDouble) {
    // The nearest double is the halfway point 1 + 2^-24, which rounds to 1.
    auto m = loadText(a(), modelText(R"({"type":"elu","size":1,"alpha":1.0000000596046447753906250000000001})", 1));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->layers[0].cfg.elu.alpha, 1.0f);
    deinit(*m);
    m = loadText(a(), modelText(R"({"type":"clip","size":1,"min":-1e-400,"max":1e39})", 1));
    ASSERT_TRUE(m);
    EXPECT_EQ(bits(m->layers[0].cfg.clip.min), 0x80000000u);
    EXPECT_EQ(m->layers[0].cfg.clip.max, INFINITY);
    deinit(*m);
}

// ---------------------------------------------------------------------------
// Failures.

TEST_F(JsonModel, EveryRowOfTheFailureTable) {
    const std::string lin = R"("type":"linear","size":1,"weight":[[1,2]],"bias":[3])";
    struct Case {
        std::string text;
        Error err;
    } cases[] = {
        {"", Error::UnexpectedEndOfInput},
        {" \n ", Error::UnexpectedEndOfInput},
        {R"({"input_size":2,"layers":[)", Error::UnexpectedEndOfInput},
        {"[]", Error::MalformedPolicyDefinition},
        {"3", Error::MalformedPolicyDefinition},
        {std::string(kWorkedExample) + "x", Error::SyntaxError},
        {std::string(kWorkedExample) + ",", Error::SyntaxError},
        {R"({"input_size":2,"layers":[],})", Error::SyntaxError},
        {"{\"input_size\":2,\"layers\":[\"" + std::string(4194305, 'x') + "\"]}", Error::ValueTooLong},
        {R"({"input_size":2,"input_size":2,"layers":[]})", Error::DuplicateField},
        {modelText(R"({"type":"relu","size":2,"size":2})"), Error::DuplicateField},
        {R"({"layers":[]})", Error::MalformedPolicyDefinition},
        {R"({"input_size":2})", Error::MalformedPolicyDefinition},
        {modelText(R"({"size":2})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"ReLU","size":2})"), Error::UnsupportedLayerType},
        {modelText(R"({"type":"Linear","size":2})"), Error::UnsupportedLayerType},
        {modelText(R"({"type":"relu"})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"linear","weight":[[1,2]],"bias":[3]})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"linear","size":-1,"weight":[[1,2]],"bias":[3]})"), Error::OutOfMemory},
        {modelText(R"({"type":"linear","size":4611686018427387904,"weight":[],"bias":[]})"), Error::OutOfMemory},
        {modelText(R"({"type":"linear","size":1,"bias":[3]})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"linear","size":1,"weight":[[1,2]]})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"layer_norm","size":2,"bias":[1,2]})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"layer_norm","size":2,"weight":[1,2]})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"clip","size":2,"max":1})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"clip","size":2,"min":1})"), Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"linear","size":2,"weight":[[1,2],[3,4]],"bias":[1,2,3]})"),
         Error::WeightsBiasesMismatch},
        {modelText(R"({"type":"layer_norm","size":2,"weight":[1,2],"bias":[1]})"), Error::WeightsBiasesMismatch},
        {modelText(R"({"type":"linear","size":2,"weight":[[1,2],[3]],"bias":[1,2]})"), Error::WrongNumberOfWeights},
        {modelText(R"({"type":"linear","size":2,"weight":[[1,2,3],[4,5]],"bias":[1,2]})"),
         Error::WrongNumberOfWeights},
        {modelText(R"({"type":"layer_norm","size":2,"weight":[1,2,3],"bias":[1,2,3]})"),
         Error::WrongNumberOfWeights},
        {modelText(R"({)" + lin + R"(},{"type":"layer_norm","weight":[1,2],"bias":[1,2]})"),
         Error::WrongNumberOfWeights},
        {modelText(R"({"type":"linear","size":1,"weight":[[1,inf]],"bias":[3]})"), Error::SyntaxError},
    };
    for (const Case& c : cases) EXPECT_EQ(loadError(c.text), c.err) << c.text.substr(0, 200);
}

TEST_F(JsonModel, WhatLoadsWithoutComplaint) {
    const std::string ok[] = {
        std::string(kWorkedExample) + "\n\n  \r\n\t",
        modelText(R"({"type":"linear","size":1,"weight":[[1,2]],"bias":[3]},{"type":"relu"},{"type":"sigmoid"})"),
        modelText(R"({"type":"linear","size":0,"weight":[],"bias":[]},{"type":"relu","size":0})"),
        modelText(R"({"type":"layer_norm","size":0,"weight":[],"bias":[]})", 0),
        modelText(R"({"type":"linear","size":2,"weight":[[],[]],"bias":[1,2]})", 0),
    };
    for (const std::string& text : ok) EXPECT_EQ(loadError(text), Error::Unexpected) << text;
}

TEST_F(JsonModel, ValuesOfTheWrongTypeAreMalformed) {
    const std::string cases[] = {
        R"({"input_size":"2","layers":[]})",
        R"({"input_size":2.0,"layers":[]})",
        R"({"input_size":2e0,"layers":[]})",
        R"({"input_size":-0,"layers":[]})",
        R"({"input_size":-1,"layers":[]})",
        R"({"input_size":4294967296,"layers":[]})",
        R"({"input_size":null,"layers":[]})",
        R"({"input_size":2,"layers":{}})",
        R"({"input_size":2,"layers":"relu"})",
        modelText(R"(1)"),
        modelText(R"([{"type":"relu","size":2}])"),
        modelText(R"({"type":4,"size":2})"),
        modelText(R"({"type":["relu"],"size":2})"),
        modelText(R"({"type":"relu","size":"2"})"),
        modelText(R"({"type":"relu","size":2.0})"),
        modelText(R"({"type":"relu","size":2e0})"),
        modelText(R"({"type":"relu","size":-0})"),
        modelText(R"({"type":"relu","size":null})"),
        modelText(R"({"type":"linear","size":4294967296,"weight":[],"bias":[]})"),
        modelText(R"({"type":"linear","size":4611686018427387903,"weight":[],"bias":[]})"),
        modelText(R"({"type":"linear","size":18446744073709551616,"weight":[],"bias":[]})"),
        modelText(R"({"type":"linear","size":-18446744073709551616,"weight":[],"bias":[]})"),
        modelText(R"({"type":"linear","size":1,"weight":[1,2],"bias":[3,4]})"),
        modelText(R"({"type":"linear","size":1,"weight":[[1,"2"]],"bias":[3]})"),
        modelText(R"({"type":"linear","size":1,"weight":[[1,null]],"bias":[3]})"),
        modelText(R"({"type":"linear","size":1,"weight":[[1,2]],"bias":["nan"]})"),
        modelText(R"({"type":"linear","size":1,"weight":[[1,1e400]],"bias":[3]})"),
        modelText(R"({"type":"linear","size":1,"weight":"[[1,2]]","bias":[3]})"),
        modelText(R"({"type":"linear","size":1,"weight":[[1,2]],"bias":3})"),
        modelText(R"({"type":"linear","size":1,"weight":[{"a":1}],"bias":[3]})"),
        modelText(R"({"type":"layer_norm","size":2,"weight":[1,true],"bias":[1,2]})"),
        modelText(R"({"type":"layer_norm","size":2,"weight":[1,2],"bias":[1,2],"eps":"0.1"})"),
        modelText(R"({"type":"clip","size":2,"min":"nan","max":1})"),
        modelText(R"({"type":"clip","size":2,"min":0,"max":-1e400})"),
        modelText(R"({"type":"elu","size":2,"alpha":null})"),
        modelText(R"({"type":"leaky_relu","size":2,"negative_slope":[0.1]})"),
    };
    for (const std::string& text : cases) EXPECT_EQ(loadError(text), Error::MalformedPolicyDefinition) << text;

    // A NaN parameter is written as a string, which loads as a wrong type.
    Defs d;
    d.input_size = 1;
    d.plain(LayerType::elu, 1, std::nanf(""));
    Model m = d.build(a());
    EXPECT_EQ(loadError(writeText(m)), Error::MalformedPolicyDefinition);
    deinit(m);
}

TEST_F(JsonModel, InfiniteParametersAreWrittenBareAndRejected) {
    Defs d;
    d.input_size = 1;
    d.linear(1, {INFINITY}, {-INFINITY});
    Model m = d.build(a());
    std::string text = writeText(m);
    EXPECT_EQ(text, modelText(R"({"type":"linear","size":1,"weight":[[inf]],"bias":[-inf]})", 1));
    EXPECT_EQ(loadError(text), Error::SyntaxError);
    deinit(m);
}

TEST_F(JsonModel, SizesThatWouldBreakTheModelAreWrongLayerSize) {
    const std::string cases[] = {
        // linear "size" other than its number of rows
        modelText(R"({"type":"linear","size":3,"weight":[[1,2],[3,4]],"bias":[1,2]})"),
        modelText(R"({"type":"linear","size":0,"weight":[[1,2]],"bias":[1]})"),
        // a first layer that is not linear and does not match the input
        modelText(R"({"type":"relu","size":3})"),
        modelText(R"({"type":"clip","size":1,"min":0,"max":1})"),
        modelText(R"({"type":"layer_norm","size":3,"weight":[1,2],"bias":[1,2]})"),
        // layer_norm weights against a buffer of length 0
        modelText(R"({"type":"layer_norm","size":0,"weight":[1],"bias":[1]})", 0),
        modelText(R"({"type":"linear","size":0,"weight":[],"bias":[]},{"type":"layer_norm","weight":[1],"bias":[2]})"),
    };
    for (const std::string& text : cases) EXPECT_EQ(loadError(text), Error::WrongLayerSize) << text;
}

TEST_F(JsonModel, WeightCountBeyond32BitsIsRejected) {
    // 65537 empty rows after an input of 65536: 2^32 + 65536 weights.
    std::string rows, biases;
    for (int k = 0; k < 65537; ++k) {
        rows += k ? ",[]" : "[]";
        biases += k ? ",0" : "0";
    }
    std::string text = modelText(R"({"type":"linear","size":65537,"weight":[)" + rows + "],\"bias\":[" + biases + "]}",
                                 65536);
    EXPECT_EQ(loadError(text), Error::WrongNumberOfWeights);
}

TEST_F(JsonModel, OrderOfChecksWhenAFileHasSeveralFaults) {
    struct Case {
        std::string text;
        Error err;
    } cases[] = {
        // the whole document is parsed before any content is looked at
        {R"({"layers":[{"type":"nope"}]} x)", Error::SyntaxError},
        {R"({"layers":[{"type":"nope"}],"input_size":1,)", Error::UnexpectedEndOfInput},
        {R"({"layers":[{"type":"nope"}],"a":{"b":1,"b":2}})", Error::DuplicateField},
        {R"([{"type":"nope"}, 01])", Error::SyntaxError},
        // then top level, then layer by layer
        {R"({"layers":"x"})", Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"nope"},{"size":1})"), Error::UnsupportedLayerType},
        {modelText(R"({"type":"relu","size":2},{"type":"nope"})"), Error::UnsupportedLayerType},
        {modelText(R"({"type":"nope"},{"type":"linear","size":-1})"), Error::UnsupportedLayerType},
        {modelText(R"({"type":"linear","size":-1})"), Error::OutOfMemory},  // size before parameters
        // within a linear layer: counts, then rows in order, then biases
        {modelText(R"({"type":"linear","size":1,"weight":[[1],[2]],"bias":["x"]})"), Error::WeightsBiasesMismatch},
        {modelText(R"({"type":"linear","size":2,"weight":[[1],"x"],"bias":[1,2]})"), Error::WrongNumberOfWeights},
        {modelText(R"({"type":"linear","size":2,"weight":[[1,"x"],[1]],"bias":[1,2]})"),
         Error::MalformedPolicyDefinition},
        {modelText(R"({"type":"linear","size":2,"weight":[[1,2],[1]],"bias":["x",2]})"), Error::WrongNumberOfWeights},
        // the size checks come after the layer's other checks
        {modelText(R"({"type":"linear","size":5,"weight":[[1,2],[1]],"bias":[1,2]})"), Error::WrongNumberOfWeights},
        {modelText(R"({"type":"layer_norm","size":5,"weight":[1,2],"bias":[1]})"), Error::WeightsBiasesMismatch},
        {modelText(R"({"type":"clip","size":5,"max":1})"), Error::MalformedPolicyDefinition},
    };
    for (const Case& c : cases) EXPECT_EQ(loadError(c.text), c.err) << c.text;
}

// ---------------------------------------------------------------------------
// Clean-up.

namespace {

std::string everyTypeText() {
    return modelText(
        R"({"type":"linear","size":3,"weight":[[1,2],[3,4],[5,6]],"bias":[0.5,-0.5,1]},{"type":"relu","size":3},)"
        R"({"type":"layer_norm","size":3,"weight":[1,1,1],"bias":[0,0,0],"eps":0.001},)"
        R"({"type":"clip","size":3,"min":-1,"max":1},{"type":"elu","size":3,"alpha":0.5},)"
        R"({"type":"leaky_relu","size":3,"negative_slope":0.25},{"type":"tanh","size":3},)"
        R"({"type":"linear","size":2,"weight":[[1,2,3],[4,5,6]],"bias":[7,8]},{"type":"sigmoid","size":2},)"
        R"({"type":"relu6","size":2,"comment":"a string to store"}, {"type":"linear","size":0,"weight":[],"bias":[]})");
}

}  // namespace

TEST_F(JsonModel, FailingAllocationAtEveryPointLeavesNothing) {
    const std::string text = everyTypeText();
    for (size_t k = 1;; ++k) {
        counter.failAt(k);
        auto m = loadText(a(), text);
        counter.failAt(0);
        if (m) {
            EXPECT_GT(k, 10u);
            deinit(*m);
            break;
        }
        EXPECT_EQ(m.error(), Error::OutOfMemory) << k;
        ASSERT_EQ(counter.liveBlocks(), 0u) << k;
        ASSERT_LT(k, 1000u);
    }
}

TEST_F(JsonModel, EveryPrefixOfAFileFailsCleanly) {
    const std::string text = everyTypeText();
    for (size_t n = 0; n < text.size(); ++n) {
        auto m = loadText(a(), text.substr(0, n));
        ASSERT_FALSE(m) << n;
        EXPECT_EQ(m.error(), Error::UnexpectedEndOfInput) << text.substr(0, n);
        ASSERT_EQ(counter.liveBlocks(), 0u) << n;
    }
    // A prefix followed by a byte that cannot continue it is a syntax error.
    for (size_t n = 0; n < text.size(); ++n) {
        EXPECT_EQ(loadError(text.substr(0, n) + "\x01"), Error::SyntaxError) << n;
    }
}

TEST_F(JsonModel, PeakMemoryStaysWithinThreeTimesTheParameters) {
    std::mt19937 rng(7);
    const uint32_t n = 256;
    std::vector<float> w(n * n), b(n);
    for (float& f : w) f = std::uniform_real_distribution<float>(-1, 1)(rng);
    for (float& f : b) f = std::uniform_real_distribution<float>(-1, 1)(rng);
    Defs d;
    d.input_size = n;
    d.linear(n, w, b).plain(LayerType::relu, n);
    Model m = d.build(a());
    std::string text = writeText(m);
    deinit(m);

    CountingAllocator fresh;
    auto loaded = loadText(fresh.get(), text);
    ASSERT_TRUE(loaded);
    size_t param_bytes = (w.size() + b.size()) * sizeof(float);
    EXPECT_LE(fresh.peakBytes(), 3 * param_bytes + (1u << 20));
    deinit(*loaded);
    EXPECT_EQ(fresh.liveBlocks(), 0u);
}

// ---------------------------------------------------------------------------
// The exported functions, with files.

class JsonFiles : public JsonModel {
protected:
    ScopedCAllocator scope{counter};
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/tolvex_json_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::system(("rm -rf " + dir).c_str());
        JsonModel::TearDown();
    }
    std::string path(const char* name) const { return dir + "/" + name; }
    static std::string readFile(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void writeFile(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
};

TEST_F(JsonFiles, WriteThenLoad) {
    tolvex_model* net = nullptr;
    std::string p = path("model.json");
    writeFile(p, std::string(kWorkedExample));
    ASSERT_EQ(tolvex_load_json(&net, p.c_str()), tolvex_Success);
    ASSERT_NE(net, nullptr);
    std::string q = path("again.json");
    writeFile(q, std::string(1000, 'x'));  // replaced entirely
    ASSERT_EQ(tolvex_write_json(net, q.c_str()), tolvex_Success);
    EXPECT_EQ(readFile(q), kWorkedExample);
    float in[2] = {2, 1}, out;
    tolvex_forward_pass(net, in, 2);
    EXPECT_EQ(tolvex_get_output_len(net), 1u);
    out = tolvex_get_output_buffer(net)[0];
    EXPECT_FALSE(std::isnan(out));
    tolvex_free_model(net);
}

TEST_F(JsonFiles, OpenAndContentFailures) {
    tolvex_model* net = reinterpret_cast<tolvex_model*>(&net);
    EXPECT_EQ(tolvex_load_json(&net, path("missing.json").c_str()), tolvex_FileNotFound);
    EXPECT_EQ(net, nullptr);
    EXPECT_EQ(tolvex_load_json(&net, dir.c_str()), tolvex_ReadFailed);
    EXPECT_EQ(tolvex_load_json(&net, std::string(5000, 'a').c_str()), tolvex_NameTooLong);

    std::string p = path("bad.json");
    writeFile(p, modelText(R"({"type":"linear","size":2,"weight":[[1,2],[3]],"bias":[1,2]})"));
    EXPECT_EQ(tolvex_load_json(&net, p.c_str()), tolvex_WrongNumberOfWeights);
    EXPECT_EQ(net, nullptr);
    writeFile(p, "");
    EXPECT_EQ(tolvex_load_json(&net, p.c_str()), tolvex_UnexpectedEndOfInput);
    writeFile(p, "[]");
    EXPECT_EQ(tolvex_load_json(&net, p.c_str()), tolvex_MalformedPolicyDefinition);

    writeFile(p, kWorkedExample);
    counter.failAt(1);  // the model record itself
    tolvex_model* untouched = reinterpret_cast<tolvex_model*>(&p);
    EXPECT_EQ(tolvex_load_json(&untouched, p.c_str()), tolvex_OutOfMemory);
    EXPECT_EQ(untouched, reinterpret_cast<tolvex_model*>(&p));
    counter.failAt(0);

    ASSERT_EQ(tolvex_load_json(&net, p.c_str()), tolvex_Success);
    EXPECT_EQ(tolvex_write_json(net, dir.c_str()), tolvex_IsDir);
    EXPECT_EQ(tolvex_write_json(net, path("no/such/dir.json").c_str()), tolvex_FileNotFound);
    struct stat st;
    EXPECT_NE(stat(path("no").c_str(), &st), 0);
    tolvex_free_model(net);
}
