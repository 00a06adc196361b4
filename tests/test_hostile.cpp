// Files written to hurt a loader: counts and sizes far beyond what the file
// holds, deep nesting, values at and past the length limit, many keys, broken
// UTF-8, NUL bytes, pipes and devices as paths. Each must give its own result
// code without asking for memory out of proportion to the file and without
// leaving anything allocated.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "root/root.hpp"
#include "support/sample_models.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

// Memory the tests let a load hold at once: a model that needs more fails
// with OutOfMemory instead of taking the machine's memory.
constexpr size_t kLiveLimit = size_t{256} << 20;
// Room for the fixed costs of a load (a layer's buffer, the first blocks of
// a parse tree) beyond what the file's own bytes justify.
constexpr size_t kSlack = size_t{1} << 20;

std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string f32(float v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class Hostile : public ::testing::Test {
protected:
    CountingAllocator alloc;
    std::string dir;

    void SetUp() override {
        alloc.limitLiveBytes(kLiveLimit);
        use(alloc);
        dir = (std::filesystem::temp_directory_path() / "tolvex-hostile-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
    }
    void TearDown() override {
        setCAllocatorBackingForTesting(nullptr);
        std::filesystem::remove_all(dir);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
        EXPECT_EQ(alloc.badFrees(), 0u);
    }

    // Routes the exported functions through `a` from now on.
    void use(CountingAllocator& a) {
        current_ = a.get();
        setCAllocatorBackingForTesting(&current_);
    }

    std::string put(const std::string& name, const std::string& bytes) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Loads, frees a model that loaded, checks that nothing stays behind.
    tolvex_result load(bool json, const std::string& path) {
        tolvex_model* net = nullptr;
        tolvex_result r = json ? tolvex_load_json(&net, path.c_str()) : tolvex_load_tvxf(&net, path.c_str());
        if (r == tolvex_Success) tolvex_free_model(net);
        else EXPECT_EQ(net, nullptr);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
        return r;
    }

    // Loads `bytes` from a file with an allocator of its own, expects `want`,
    // and checks that neither a single request nor the peak went beyond
    // per_byte bytes for each byte of the file (plus a fixed slack).
    void expectBounded(bool json, const std::string& bytes, tolvex_result want, size_t per_byte) {
        CountingAllocator fresh;
        fresh.limitLiveBytes(kLiveLimit);
        use(fresh);
        std::string path = put("input", bytes);
        tolvex_model* net = nullptr;
        tolvex_result r = json ? tolvex_load_json(&net, path.c_str()) : tolvex_load_tvxf(&net, path.c_str());
        if (r == tolvex_Success) tolvex_free_model(net);
        use(alloc);
        EXPECT_EQ(r, want) << tolvex_result_name(r) << " instead of " << tolvex_result_name(want);
        size_t bound = kSlack + per_byte * bytes.size();
        EXPECT_LE(fresh.largestRequest(), bound) << "a single request of " << fresh.largestRequest() << " bytes";
        EXPECT_LE(fresh.peakBytes(), bound) << "a peak of " << fresh.peakBytes() << " bytes";
        EXPECT_EQ(fresh.liveBlocks(), 0u);
        EXPECT_EQ(fresh.badFrees(), 0u);
    }

private:
    Allocator current_;

protected:
    tolvex_model* sample() {
        // The definition points into the plan's arrays until the model is made.
        const ModelPlan plan = sampleModels(5)[0];
        tolvex_model_definition* def = nullptr;
        EXPECT_EQ(buildDefinition(plan, &def), tolvex_Success);
        tolvex_model* net = nullptr;
        EXPECT_EQ(tolvex_create(&net, def), tolvex_Success);
        tolvex_free_model_definition(def);
        return net;
    }
};

std::string tvxfHeader(uint32_t input_size, uint32_t count) { return "tvxf" + u32(input_size) + u32(count); }

std::string jsonWith(const std::string& extra) { return "{\"input_size\":1,\"layers\":[]" + extra + "}"; }

}  // namespace

// A tvxf loader reads 4 bytes per float: every claimed count beyond the file
// ends in EndOfStream or a count check, never in a matching allocation.
TEST_F(Hostile, TvxfClaimsBeyondTheFile) {
    // 2^32 - 1 layers announced, one present.
    expectBounded(false, tvxfHeader(2, 0xFFFFFFFFu) + u32(4) + u32(2), tolvex_EndOfStream, 16);
    // A linear layer whose 65535 x 65537 = 2^32 - 1 weights are its true
    // count, in a 40-byte file.
    std::string huge = tvxfHeader(65537, 1) + u32(0) + u32(65535) + u32(0xFFFFFFFFu) + std::string(16, '\0');
    ASSERT_EQ(huge.size(), 40u);
    expectBounded(false, huge, tolvex_EndOfStream, 16);
    // The same count where the layer's sizes call for two weights.
    expectBounded(false, tvxfHeader(2, 1) + u32(0) + u32(1) + u32(0xFFFFFFFFu) + std::string(16, '\0'),
                  tolvex_WrongNumberOfWeights, 16);
    // A bias count of 2^32 - 1.
    expectBounded(false, tvxfHeader(2, 1) + u32(0) + u32(1) + u32(2) + f32(1) + f32(2) + u32(0xFFFFFFFFu),
                  tolvex_WeightsBiasesMismatch, 16);
    // layer_norm counts of 2^32 - 1 after a layer of size 2.
    std::string lin = u32(0) + u32(2) + u32(4) + std::string(16, '\0') + u32(2) + std::string(8, '\0');
    expectBounded(false, tvxfHeader(2, 2) + lin + u32(1) + u32(2) + f32(1e-5f) + u32(0xFFFFFFFFu),
                  tolvex_WrongNumberOfWeights, 16);
    // A weight count that is right only modulo 2^32.
    expectBounded(false, tvxfHeader(65536, 1) + u32(0) + u32(65536) + u32(0), tolvex_WrongNumberOfWeights, 16);
}

// A model can need far more memory than its file's size: an activation of
// 2^32 - 1 values first. It gets OutOfMemory when that memory is not there.
TEST_F(Hostile, HugeHonestModelRunsOutOfMemoryCleanly) {
    EXPECT_EQ(load(false, put("a.tvxf", tvxfHeader(0xFFFFFFFFu, 1) + u32(4) + u32(0xFFFFFFFFu))), tolvex_OutOfMemory);
    EXPECT_EQ(load(true, put("a.json", R"({"input_size":4294967295,"layers":[{"type":"relu","size":4294967295}]})")),
              tolvex_OutOfMemory);
}

TEST_F(Hostile, JsonClaimsBeyondTheFile) {
    // A linear layer of 2^32 - 1 outputs with no weights at all.
    expectBounded(true, R"({"input_size":1,"layers":[{"type":"linear","size":4294967295}]})",
                  tolvex_MalformedPolicyDefinition, 64);
    // ... or with a weight row and a bias that do not match it.
    expectBounded(true, R"({"input_size":1,"layers":[{"type":"linear","size":4294967295,"weight":[[1]],"bias":[1]}]})",
                  tolvex_WrongLayerSize, 64);
    // 4000 empty rows for an input of 1000000: the weight count fits in 32
    // bits, the rows hold none of it.
    std::string rows = "[]", biases = "0";
    for (int n = 1; n < 4000; ++n) rows += ",[]", biases += ",0";
    expectBounded(true, R"({"input_size":1000000,"layers":[{"type":"linear","size":4000,"weight":[)" + rows +
                            R"(],"bias":[)" + biases + "]}]}",
                  tolvex_WrongNumberOfWeights, 64);
    // A size beyond 32 bits.
    expectBounded(true, R"({"input_size":1,"layers":[{"type":"linear","size":4294967296,"weight":[],"bias":[]}]})",
                  tolvex_MalformedPolicyDefinition, 64);
    expectBounded(true, R"({"input_size":1,"layers":[{"type":"linear","size":-1,"weight":[],"bias":[]}]})",
                  tolvex_OutOfMemory, 64);
}

TEST_F(Hostile, DeepNesting) {
    const size_t depth = 1000000;
    expectBounded(true, std::string(depth, '['), tolvex_UnexpectedEndOfInput, 64);
    expectBounded(true, std::string(depth, '[') + std::string(depth, ']'), tolvex_MalformedPolicyDefinition, 64);
    std::string objects;
    for (size_t i = 0; i < depth / 10; ++i) objects += "{\"a\":";
    expectBounded(true, objects, tolvex_UnexpectedEndOfInput, 64);
    // Deep inside an ignored key of a valid model.
    expectBounded(true, jsonWith(",\"x\":" + std::string(depth, '[') + std::string(depth, ']')), tolvex_Success, 64);
}

TEST_F(Hostile, LongestValue) {
    const size_t limit = 4194304;
    expectBounded(true, jsonWith(",\"s\":\"" + std::string(limit, 'a') + "\""), tolvex_Success, 4);
    expectBounded(true, jsonWith(",\"s\":\"" + std::string(limit + 1, 'a') + "\""), tolvex_ValueTooLong, 4);
    // Keys count too.
    expectBounded(true, jsonWith(",\"" + std::string(limit + 1, 'k') + "\":0"), tolvex_ValueTooLong, 4);
    // Escapes are counted decoded: 2 bytes of text for each byte of value.
    std::string escaped;
    for (size_t i = 0; i < limit; ++i) escaped += "\\n";
    expectBounded(true, jsonWith(",\"s\":\"" + escaped + "\""), tolvex_Success, 4);
    expectBounded(true, jsonWith(",\"s\":\"" + escaped + "\\n\""), tolvex_ValueTooLong, 4);
    // Numbers have the same limit on their text.
    expectBounded(true, jsonWith(",\"n\":1." + std::string(limit - 2, '0')), tolvex_Success, 4);
    expectBounded(true, jsonWith(",\"n\":1." + std::string(limit - 1, '0')), tolvex_ValueTooLong, 4);
}

TEST_F(Hostile, ManyKeys) {
    std::string keys;
    for (int i = 0; i < 100000; ++i) keys += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
    expectBounded(true, jsonWith(keys), tolvex_Success, 64);
    expectBounded(true, jsonWith(keys + ",\"k99999\":0"), tolvex_DuplicateField, 64);
    expectBounded(true, jsonWith(keys + ",\"input_size\":2"), tolvex_DuplicateField, 64);
}

TEST_F(Hostile, BrokenUtf8AndNulBytes) {
    struct Case {
        const char* what;
        std::string text;
        tolvex_result want;
    };
    const Case cases[] = {
        {"truncated sequence", jsonWith(",\"s\":\"\xE2\x82\""), tolvex_SyntaxError},
        {"truncated at the end", "{\"input_size\":1,\"layers\":[],\"s\":\"\xE2\x82", tolvex_UnexpectedEndOfInput},
        {"lone continuation byte", jsonWith(",\"s\":\"\x80\""), tolvex_SyntaxError},
        {"overlong encoding", jsonWith(",\"s\":\"\xC0\xAF\""), tolvex_SyntaxError},
        {"encoded surrogate", jsonWith(",\"s\":\"\xED\xA0\x80\""), tolvex_SyntaxError},
        {"beyond U+10FFFF", jsonWith(",\"s\":\"\xF4\x90\x80\x80\""), tolvex_SyntaxError},
        {"byte 0xFF", jsonWith(",\"s\":\"\xFF\""), tolvex_SyntaxError},
        {"valid four-byte sequence", jsonWith(",\"s\":\"\xF0\x9F\x98\x80\""), tolvex_Success},
        {"NUL inside a string", jsonWith(",\"s\":\"a" + std::string(1, '\0') + "b\""), tolvex_SyntaxError},
        {"NUL between tokens", "{\"input_size\":1," + std::string(1, '\0') + "\"layers\":[]}", tolvex_SyntaxError},
        {"NUL after the value", jsonWith("") + std::string(1, '\0'), tolvex_SyntaxError},
        {"escaped NUL", jsonWith(",\"s\":\"\\u0000\""), tolvex_Success},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectBounded(true, c.text, c.want, 64);
    }
    // NUL bytes are ordinary data in a tvxf file: all-zero floats.
    expectBounded(false, tvxfHeader(2, 1) + u32(0) + u32(1) + u32(2) + std::string(8, '\0') + u32(1) + std::string(4, '\0'),
                  tolvex_Success, 16);
}

// /dev/zero never ends, but its first bytes already decide.
TEST_F(Hostile, DevZero) {
    EXPECT_EQ(load(false, "/dev/zero"), tolvex_HeaderMismatch);
    EXPECT_EQ(load(true, "/dev/zero"), tolvex_SyntaxError);
    EXPECT_LE(alloc.peakBytes(), kSlack);
}

// A FIFO is read like a file: to the end of what the writer sends.
TEST_F(Hostile, Fifo) {
    tolvex_model* net = sample();
    std::string tv = dir + "/m.tvxf", js = dir + "/m.json";
    ASSERT_EQ(tolvex_write_tvxf(net, tv.c_str()), tolvex_Success);
    ASSERT_EQ(tolvex_write_json(net, js.c_str()), tolvex_Success);
    tolvex_free_model(net);
    auto slurp = [](const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    struct Case {
        bool json;
        std::string bytes;
        tolvex_result want;
    };
    const Case cases[] = {{false, slurp(tv), tolvex_Success},
                          {true, slurp(js), tolvex_Success},
                          {false, "", tolvex_EndOfStream},
                          {true, "", tolvex_UnexpectedEndOfInput}};
    int n = 0;
    for (const Case& c : cases) {
        std::string fifo = dir + "/fifo" + std::to_string(n++);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // The writer waits (bounded) for the reader to open, sends, closes.
        std::thread writer([&] {
            int fd = -1;
            for (int tries = 0; tries < 1000 && fd < 0; ++tries) {
                fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (fd < 0) return;
            ::fcntl(fd, F_SETFL, 0);
            (void)!::write(fd, c.bytes.data(), c.bytes.size());
            ::close(fd);
        });
        EXPECT_EQ(load(c.json, fifo), c.want) << (c.json ? "json" : "tvxf") << " of " << c.bytes.size() << " bytes";
        writer.join();
    }
}

TEST_F(Hostile, DevFullFailsToWrite) {
    tolvex_model* net = sample();
    EXPECT_EQ(tolvex_write_tvxf(net, "/dev/full"), tolvex_WriteFailed);
    EXPECT_EQ(tolvex_write_json(net, "/dev/full"), tolvex_WriteFailed);
    tolvex_free_model(net);
}

TEST_F(Hostile, DirectoryAsPath) {
    EXPECT_EQ(load(false, dir), tolvex_ReadFailed);
    EXPECT_EQ(load(true, dir), tolvex_ReadFailed);
    tolvex_model* net = sample();
    EXPECT_EQ(tolvex_write_tvxf(net, dir.c_str()), tolvex_IsDir);
    EXPECT_EQ(tolvex_write_json(net, dir.c_str()), tolvex_IsDir);
    tolvex_free_model(net);
}
