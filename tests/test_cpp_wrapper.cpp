// The header-only C++ wrapper: ownership, moves, views, loaders, writers and
// the exception that carries the result code.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include "support/test_allocators.hpp"
#include "tolvex.hpp"

namespace tvx = tolvex::cpp;

using tolvex::testing::CountingAllocator;
using tolvex::testing::ScopedCAllocator;

static_assert(!std::is_copy_constructible_v<tvx::Model> && !std::is_copy_assignable_v<tvx::Model>);
static_assert(std::is_nothrow_move_constructible_v<tvx::Model> && std::is_nothrow_move_assignable_v<tvx::Model>);
static_assert(!std::is_copy_constructible_v<tvx::Definition>);
static_assert(std::is_nothrow_move_constructible_v<tvx::Definition>);
static_assert(!std::is_copy_constructible_v<tvx::Library> && !std::is_move_constructible_v<tvx::Library>);

namespace {

// y = relu(W x + b) with W = [[1, -1], [0.5, 0.5]], b = [0, -0.25].
const std::vector<float> kW = {1.0f, -1.0f, 0.5f, 0.5f};
const std::vector<float> kB = {0.0f, -0.25f};

tvx::Model smallModel() {
    tvx::Definition def(2);
    def.linear(2, kW.data(), kB.data()).relu();
    return tvx::Model::create(def);
}

class Wrapper : public ::testing::Test {
protected:
    CountingAllocator counter;
    ScopedCAllocator scope{counter};
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/tolvex-wrapper-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        EXPECT_EQ(counter.liveBlocks(), 0u) << "the wrapper leaked";
        EXPECT_EQ(counter.badFrees(), 0u);
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
};

}  // namespace

TEST_F(Wrapper, ForwardReturnsAViewOfTheOutputBuffer) {
    tvx::Model m = smallModel();
    tvx::Output y = m.forward({3.0f, 1.0f});
    ASSERT_EQ(y.size(), 2u);
    EXPECT_EQ(y[0], 2.0f);
    EXPECT_EQ(y[1], 1.75f);
    EXPECT_EQ(y.data(), tolvex_get_output_buffer(m.handle()));
    EXPECT_EQ(y.toVector(), (std::vector<float>{2.0f, 1.75f}));
    EXPECT_THROW(y.at(2), std::out_of_range);

    // The view shows the buffer, so the next pass shows through it; every
    // container form reaches the same pass.
    std::array<float, 2> a{1.0f, 3.0f};
    m.forward(a);
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_EQ(y[1], 1.75f);
    const std::vector<float> v{0.5f, 0.5f};
    EXPECT_EQ(m.forward(v).toVector(), (std::vector<float>{0.0f, 0.25f}));
    const float c[2] = {4.0f, 0.0f};
    EXPECT_EQ(m.forward(c, 2)[0], 4.0f);
    EXPECT_EQ(m.output()[0], 4.0f);
    float sum = 0.0f;
    for (float f : m.output()) sum += f;
    EXPECT_EQ(sum, 5.75f);
}

TEST_F(Wrapper, ModelsOwnCopiesOfTheWeights) {
    std::vector<float> w = kW, b = kB;
    tvx::Model m;
    {
        tvx::Definition def(2);
        def.linear(2, w.data(), b.data());
        m = tvx::Model::create(def);
    }
    std::fill(w.begin(), w.end(), 100.0f);
    EXPECT_EQ(m.forward({3.0f, 1.0f}).toVector(), (std::vector<float>{2.0f, 1.75f}));
}

TEST_F(Wrapper, MovesTransferOwnershipAndFreeWhatTheyReplace) {
    tvx::Model a = smallModel();
    tolvex_model* h = a.handle();
    tvx::Model b = std::move(a);
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(b.handle(), h);
    EXPECT_THROW(a.handle(), std::logic_error);
    EXPECT_THROW(a.forward({1.0f, 2.0f}), std::logic_error);

    size_t oneModel = counter.liveBlocks();
    b = smallModel();  // the old model goes
    EXPECT_EQ(counter.liveBlocks(), oneModel);
    b = tvx::Model();
    EXPECT_FALSE(b);
    EXPECT_EQ(counter.liveBlocks(), 0u);

    tvx::Definition d1(3);
    tvx::Definition d2 = std::move(d1);
    EXPECT_FALSE(d1);  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(d2);
    EXPECT_EQ(d2.currentSize(), 3u);
    EXPECT_THROW(tvx::Model::create(d1), std::logic_error);
    d2 = tvx::Definition(5);
    EXPECT_EQ(d2.currentSize(), 5u);
}

TEST_F(Wrapper, DefinitionTracksTheSizeForElementwiseLayers) {
    const std::vector<float> w(3 * 2, 0.5f), b(3, 0.0f), ones(3, 1.0f), zeros(3, 0.0f);
    tvx::Definition def(2);
    def.linear(3, w.data(), b.data()).layerNorm(ones.data(), zeros.data()).clip(-1.0f, 1.0f).elu().leakyRelu()
        .relu6().sigmoid().tanh().relu();
    EXPECT_EQ(def.currentSize(), 3u);
    tvx::Model m = tvx::Model::create(def);
    EXPECT_EQ(m.forward({1.0f, 2.0f}).size(), 3u);
}

TEST_F(Wrapper, FailuresThrowTheResultCodeAndItsName) {
    try {
        tvx::Model::loadJson(dir + "/missing.json");
        FAIL() << "no exception";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(e.code(), tolvex_FileNotFound);
        EXPECT_STREQ(e.name(), "FileNotFound");
        EXPECT_NE(std::string(e.what()).find(dir + "/missing.json"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("FileNotFound"), std::string::npos) << e.what();
    }
    EXPECT_THROW(tvx::Model::loadTvxf(dir), tvx::Error);  // a directory
    tvx::Model m = smallModel();
    try {
        m.writeJson(dir + "/no/such/dir.json");
        FAIL() << "no exception";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(e.code(), tolvex_FileNotFound);
    }
    EXPECT_THROW(tvx::Model::load(dir + "/model.onnx"), std::invalid_argument);
    EXPECT_THROW(m.write(dir + "/model"), std::invalid_argument);
}

// The C functions would see the path only up to the NUL: victim.txt.
TEST_F(Wrapper, PathsWithANulByteAreRefused) {
    const std::string victim = dir + "/victim.txt";
    std::FILE* f = std::fopen(victim.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("keep", f);
    std::fclose(f);
    tvx::Model m = smallModel();
    for (const char* ext : {".json", ".tvxf"}) {
        const std::string bad = victim + std::string(1, '\0') + ext;
        EXPECT_THROW(m.write(bad), std::invalid_argument);
        EXPECT_THROW(m.writeJson(bad), std::invalid_argument);
        EXPECT_THROW(m.writeTvxf(bad), std::invalid_argument);
        EXPECT_THROW(tvx::Model::load(bad), std::invalid_argument);
        EXPECT_THROW(tvx::Model::loadJson(bad), std::invalid_argument);
        EXPECT_THROW(tvx::Model::loadTvxf(bad), std::invalid_argument);
    }
    char buf[16] = {};
    f = std::fopen(victim.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 4u);
    std::fclose(f);
    EXPECT_STREQ(buf, "keep");
}

TEST_F(Wrapper, WrongLayerSizeIsThrownFromCreate) {
    tvx::Definition def(2);
    def.relu();
    const std::vector<float> w(2 * 4, 1.0f), b(4, 0.0f);
    def.linear(4, w.data(), b.data());
    ASSERT_NO_THROW(tvx::Model::create(def));

    // The C builder lets a host give an element-wise layer any size; the
    // wrapper never does, so build the faulty definition through its handle.
    tvx::Definition bad(2);
    ASSERT_EQ(tolvex_add_tanh(bad.handle(), 3), tolvex_Success);
    try {
        tvx::Model::create(bad);
        FAIL() << "no exception";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(e.code(), tolvex_WrongLayerSize);
        EXPECT_STREQ(e.name(), "WrongLayerSize");
    }
}

TEST_F(Wrapper, WritesAndLoadsBothFormatsByExtension) {
    tvx::Model m = smallModel();
    std::vector<float> want = m.forward({3.0f, 1.0f}).toVector();
    for (const char* name : {"/m.json", "/m.tvxf", "/M.JSON", "/M.TVXF"}) {
        std::string path = dir + name;
        m.write(path);
        tvx::Model back = tvx::Model::load(path);
        std::vector<float> got = back.forward({3.0f, 1.0f}).toVector();
        ASSERT_EQ(got.size(), want.size()) << name;
        EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0) << name;
    }
    // Each explicit writer writes its own format whatever the name says.
    m.writeTvxf(dir + "/really-tvxf.json");
    EXPECT_NO_THROW(tvx::Model::loadTvxf(dir + "/really-tvxf.json"));
    EXPECT_THROW(tvx::Model::load(dir + "/really-tvxf.json"), tvx::Error);
}

TEST_F(Wrapper, LengthsAreCheckedBeforeThePass) {
    tvx::Model m = smallModel();
    EXPECT_EQ(m.inputLen(), 2u);
    EXPECT_EQ(m.outputLen(), 2u);
    const std::vector<float> want = m.forward({3.0f, 1.0f}).toVector();
    for (const std::vector<float>& bad : {std::vector<float>{}, std::vector<float>{1.0f},
                                          std::vector<float>{1.0f, 2.0f, 3.0f}}) {
        try {
            m.forward(bad);
            FAIL() << "no exception for " << bad.size() << " floats";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(std::to_string(bad.size()) + " floats given, 2 wanted"),
                      std::string::npos)
                << e.what();
        }
        // The library was not called: the last result stands.
        EXPECT_EQ(m.output().toVector(), want);
    }
}

TEST_F(Wrapper, BatchesGiveTheBitsOfSinglePasses) {
    tvx::Model m = smallModel();
    const std::vector<float> inputs = {3.0f, 1.0f, -1.0f, 2.0f, 0.5f, 0.25f, 7.0f, -7.0f};
    std::vector<float> want;
    for (size_t k = 0; k < 4; ++k) {
        const std::vector<float> y = m.forward(inputs.data() + 2 * k, 2).toVector();
        want.insert(want.end(), y.begin(), y.end());
    }
    EXPECT_EQ(m.forwardBatch(inputs), want);
    EXPECT_EQ(m.forwardBatch(inputs.data(), 4), want);
    std::array<float, 8> into{};
    m.forwardBatch(inputs, into);
    EXPECT_EQ(std::vector<float>(into.begin(), into.end()), want);
    // In place, one array for both.
    std::vector<float> same = inputs;
    m.forwardBatch(same.data(), 4, same.data());
    EXPECT_EQ(same, want);
    EXPECT_TRUE(m.forwardBatch(inputs.data(), 0).empty());

    std::vector<float> small(6), odd(7);
    EXPECT_THROW(m.forwardBatch(inputs, small), std::invalid_argument);
    EXPECT_THROW(m.forwardBatch(odd), std::invalid_argument);
    EXPECT_THROW(m.forwardBatch(odd, small), std::invalid_argument);
}

TEST_F(Wrapper, LoadsFromBytesInMemory) {
    tvx::Model m = smallModel();
    const std::vector<float> want = m.forward({3.0f, 1.0f}).toVector();
    for (const char* name : {"/m.tvxf", "/m.json"}) {
        SCOPED_TRACE(name);
        m.write(dir + name);
        std::FILE* f = std::fopen((dir + name).c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::string bytes;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
        tvx::Model back = tvx::Model::loadMemory(bytes);
        EXPECT_EQ(back.forward({3.0f, 1.0f}).toVector(), want);
        const std::vector<std::uint8_t> raw(bytes.begin(), bytes.end());
        tvx::Model again = bytes[0] == 't' ? tvx::Model::loadTvxfMemory(raw.data(), raw.size())
                                           : tvx::Model::loadJsonMemory(raw.data(), raw.size());
        EXPECT_EQ(again.forward({3.0f, 1.0f}).toVector(), want);
    }
    try {
        tvx::Model::loadTvxfMemory("tvx", 3);
        FAIL() << "no exception";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(e.code(), tolvex_EndOfStream);
    }
    try {
        tvx::Model::loadMemory(std::string("{\"input_size\":2"));
        FAIL() << "no exception";
    } catch (const tvx::Error& e) {
        EXPECT_EQ(e.code(), tolvex_UnexpectedEndOfInput);
    }
}
