// Every input of the fuzz targets' corpus, run as an ordinary test. A file
// named <description>.<result>.<ext> must load with exactly that result code
// ("any" asks only for a clean return); every load, failed or not, must leave
// nothing allocated; every file in roundtrip/ must round-trip.
#include <gtest/gtest.h>

#include <algorithm>
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
