// Every input of the fuzz targets' corpus, run as an ordinary test. A file
// named <description>.<result>.<ext> must load with exactly that result code
// ("any" asks only for a clean return); every load, failed or not, must leave
// nothing allocated; every file in roundtrip/ must round-trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/model.hpp"
#include "root/root.hpp"
#include "support/model_files.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;
using tolvex::testing::CountingAllocator;
using tolvex::testing::Format;
namespace tt = tolvex::testing;

namespace {

namespace fs = std::filesystem;

constexpr size_t kLiveLimit = size_t{64} << 20;
constexpr size_t kMaxWork = size_t{1} << 22;

struct CorpusFile {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string expect;  // a result name, or "any"
};

std::vector<uint8_t> readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The result name between the last two dots, when it is one.
std::string expectation(const std::string& name) {
    size_t ext = name.rfind('.');
    if (ext == std::string::npos || ext == 0) return "any";
    size_t dot = name.rfind('.', ext - 1);
    if (dot == std::string::npos) return "any";
    std::string word = name.substr(dot + 1, ext - dot - 1);
    for (tolvex_result r = 0; r < 49; ++r)
        if (word == tolvex_result_name(r)) return word;
    return "any";
}

std::vector<CorpusFile> corpus(const char* sub) {
    std::vector<CorpusFile> files;
    for (const auto& entry : fs::directory_iterator(fs::path(TOLVEX_FUZZ_CORPUS) / sub)) {
        if (!entry.is_regular_file()) continue;
        std::string name = entry.path().filename().string();
        files.push_back({name, readAll(entry.path()), expectation(name)});
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

std::string resultName(const Result<Model>& m) {
    return m ? "Success" : tolvex_result_name(errToResult(m.error()));
}

void loadsAsExpected(Format format, const char* sub) {
    auto files = corpus(sub);
    ASSERT_GT(files.size(), 20u);
    for (const CorpusFile& f : files) {
        SCOPED_TRACE(f.name);
        CountingAllocator alloc;
        alloc.limitLiveBytes(kLiveLimit);
        auto m = tt::loadBytes(format, alloc.get(), f.bytes);
        if (f.expect != "any") {
            EXPECT_EQ(resultName(m), f.expect);
        }
        if (m) {
            (void)tt::runFixedInput(*m, kMaxWork);
            deinit(*m);
        }
        EXPECT_EQ(alloc.liveBlocks(), 0u);
        EXPECT_EQ(alloc.badFrees(), 0u);
    }
}

std::vector<uint8_t> fileNamed(const char* sub, const std::string& name) {
    return readAll(fs::path(TOLVEX_FUZZ_CORPUS) / sub / name);
}

}  // namespace

TEST(Corpus, TvxfFilesLoadAsNamedAndLeaveNothing) { loadsAsExpected(Format::tvxf, "tvxf"); }

TEST(Corpus, JsonFilesLoadAsNamedAndLeaveNothing) { loadsAsExpected(Format::json, "json"); }

TEST(Corpus, RoundTripFilesRoundTrip) {
    auto files = corpus("roundtrip");
    ASSERT_GT(files.size(), 20u);
    for (const CorpusFile& f : files) {
        SCOPED_TRACE(f.name);
        // Files of either format, as the fuzz target reads every input.
        for (Format format : {Format::tvxf, Format::json}) {
            CountingAllocator alloc;
            alloc.limitLiveBytes(kLiveLimit);
            EXPECT_EQ(tt::checkRoundTrip(format, f.bytes, alloc, kMaxWork), "");
            EXPECT_EQ(alloc.liveBlocks(), 0u);
            EXPECT_EQ(alloc.badFrees(), 0u);
        }
        if (f.expect == "Success") {
            bool is_json = f.name.ends_with(".json");
            CountingAllocator alloc;
            auto m = tt::loadBytes(is_json ? Format::json : Format::tvxf, alloc.get(), f.bytes);
            EXPECT_TRUE(m) << "a round-trip seed must load";
            if (m) deinit(*m);
        }
    }
}

TEST(Corpus, WorkedExamplesWriteBackByteForByte) {
    struct Case {
        Format format;
        const char* sub;
        const char* name;
        size_t size;
    };
    for (const Case& c : {Case{Format::tvxf, "tvxf", "example48.Success.tvxf", 48},
                          Case{Format::json, "json", "example117.Success.json", 117}}) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = fileNamed(c.sub, c.name);
        ASSERT_EQ(bytes.size(), c.size);
        CountingAllocator alloc;
        auto m = tt::loadBytes(c.format, alloc.get(), bytes);
        ASSERT_TRUE(m);
        auto again = tt::writeBytes(c.format, *m);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, bytes);
        deinit(*m);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
    }
}

// Every corpus file through the exported loaders, from its path and from its
// bytes in memory, read as each format: the same result code, and where the
// load succeeds the same sizes and the same output bits, single and batched.
TEST(Corpus, MemoryLoadsMatchFileLoads) {
    using Load = tolvex_result (*)(tolvex_model**, const char*);
    using LoadMemory = tolvex_result (*)(tolvex_model**, const void*, size_t);
    const struct {
        const char* name;
        Load file;
        LoadMemory memory;
    } loaders[] = {{"tvxf", tolvex_load_tvxf, tolvex_load_tvxf_memory},
                   {"json", tolvex_load_json, tolvex_load_json_memory}};
    CountingAllocator alloc;
    alloc.limitLiveBytes(kLiveLimit);
    tt::ScopedCAllocator scope(alloc);
    size_t files = 0, loaded = 0;
    for (const char* sub : {"tvxf", "json", "roundtrip"}) {
        for (const CorpusFile& f : corpus(sub)) {
            const std::string path = (fs::path(TOLVEX_FUZZ_CORPUS) / sub / f.name).string();
            ++files;
            for (const auto& l : loaders) {
                SCOPED_TRACE(std::string(sub) + "/" + f.name + " as " + l.name);
                tolvex_model *from_file = nullptr, *from_memory = nullptr;
                const tolvex_result rf = l.file(&from_file, path.c_str());
                const tolvex_result rm = l.memory(&from_memory, f.bytes.data(), f.bytes.size());
                EXPECT_EQ(tolvex_result_name(rm), std::string(tolvex_result_name(rf)));
                if (rf == tolvex_Success && rm == tolvex_Success) {
                    ++loaded;
                    EXPECT_EQ(tolvex_get_input_len(from_memory), tolvex_get_input_len(from_file));
                    EXPECT_EQ(tolvex_get_output_len(from_memory), tolvex_get_output_len(from_file));
                    const Model& mf = *reinterpret_cast<const Model*>(from_file);
                    const Model& mm = *reinterpret_cast<const Model*>(from_memory);
                    EXPECT_EQ(tt::compareModels(mf, mm, false), "");
                    auto yf = tt::runFixedInput(mf, kMaxWork), ym = tt::runFixedInput(mm, kMaxWork);
                    ASSERT_EQ(yf.has_value(), ym.has_value());
                    if (yf && !yf->empty()) {
                        EXPECT_EQ(std::memcmp(yf->data(), ym->data(), yf->size() * sizeof(float)), 0);
                        // Three samples of the fixed input in one batched call.
                        const uint32_t in = tolvex_get_input_len(from_memory);
                        std::vector<float> x(size_t{in} * 3);
                        const float* y = tolvex_get_output_buffer(from_file);
                        for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 7) - 3.0f;
                        std::vector<float> batch(yf->size() * 3);
                        tolvex_forward_batch(from_memory, x.data(), in, 3, batch.data());
                        for (size_t k = 0; k < 3; ++k) {
                            tolvex_forward_pass(from_file, x.data() + k * in, in);
                            EXPECT_EQ(std::memcmp(y, batch.data() + k * yf->size(), yf->size() * sizeof(float)), 0)
                                << "sample " << k;
                        }
                    }
                }
                if (rf == tolvex_Success) tolvex_free_model(from_file);
                if (rm == tolvex_Success) tolvex_free_model(from_memory);
                EXPECT_EQ(alloc.liveBlocks(), 0u);
            }
        }
    }
    EXPECT_GT(files, 150u);
    EXPECT_GT(loaded, 60u);
    EXPECT_EQ(alloc.badFrees(), 0u);
}

// The bytes are read where they lie: no copy of the whole input is made, so
// a load from memory costs the model's memory (and for JSON the parse tree),
// not the length of the bytes.
TEST(Corpus, MemoryLoadsDoNotCopyTheBytes) {
    const std::vector<uint8_t> tvxf = fileNamed("tvxf", "example48.Success.tvxf");
    const std::vector<uint8_t> json = fileNamed("json", "example117.Success.json");
    constexpr size_t kPadding = size_t{8} << 20;
    std::vector<uint8_t> long_tvxf = tvxf, long_json = json;
    long_tvxf.resize(tvxf.size() + kPadding, 0xab);      // ignored after the last record
    long_json.insert(long_json.begin(), kPadding, ' ');  // whitespace before the object
    const struct {
        tolvex_result (*load)(tolvex_model**, const void*, size_t);
        const std::vector<uint8_t>& bytes;
    } cases[] = {{tolvex_load_tvxf_memory, long_tvxf}, {tolvex_load_json_memory, long_json}};
    for (const auto& c : cases) {
        CountingAllocator alloc;
        tt::ScopedCAllocator scope(alloc);
        tolvex_model* net = nullptr;
        ASSERT_EQ(c.load(&net, c.bytes.data(), c.bytes.size()), tolvex_Success);
        EXPECT_LT(alloc.peakBytes(), size_t{64} << 10);
        tolvex_free_model(net);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
    }
}
