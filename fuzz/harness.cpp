#include "harness.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/model.hpp"

namespace tolvex::fuzz {

using testing::CountingAllocator;
using testing::Format;

namespace {

[[noreturn]] void die(const char* stage, const std::string& what) {
    std::fprintf(stderr, "fuzz: %s: %s\n", stage, what.c_str());
    std::abort();
}

void checkClean(const CountingAllocator& alloc, const char* stage) {
    if (alloc.liveBlocks() != 0) die(stage, std::to_string(alloc.liveBlocks()) + " blocks still allocated");
    if (alloc.badFrees() != 0) die(stage, std::to_string(alloc.badFrees()) + " frees of the wrong length or pointer");
}

}  // namespace

void loadOne(Format format, std::span<const uint8_t> bytes) {
    CountingAllocator alloc;
    alloc.limitLiveBytes(kLiveLimit);
    auto model = testing::loadBytes(format, alloc.get(), bytes);
    if (model) {
        (void)testing::runFixedInput(*model, kMaxWork);
        deinit(*model);
    }
    checkClean(alloc, testing::formatName(format));
}

void roundTripOne(std::span<const uint8_t> bytes) {
    for (Format format : {Format::tvxf, Format::json}) {
        CountingAllocator alloc;
        alloc.limitLiveBytes(kLiveLimit);
        std::string err = testing::checkRoundTrip(format, bytes, alloc, kMaxWork);
        if (!err.empty()) die(testing::formatName(format), "round trip: " + err);
        checkClean(alloc, testing::formatName(format));
    }
}

}  // namespace tolvex::fuzz
