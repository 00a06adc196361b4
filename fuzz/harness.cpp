#include "harness.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <cstring>
#include <vector>

#include "common/model.hpp"
#include "root/root.hpp"
#include "tolvex.h"

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

void loadMemoryOne(Format format, std::span<const uint8_t> bytes) {
    const char* stage = format == Format::tvxf ? "tvxf memory" : "json memory";
    CountingAllocator alloc;
    alloc.limitLiveBytes(kLiveLimit);
    tolvex_result got;
    tolvex_model* net = nullptr;
    {
        testing::ScopedCAllocator scope(alloc);
        got = format == Format::tvxf ? tolvex_load_tvxf_memory(&net, bytes.data(), bytes.size())
                                     : tolvex_load_json_memory(&net, bytes.data(), bytes.size());
    }
    CountingAllocator stream_alloc;
    stream_alloc.limitLiveBytes(kLiveLimit);
    auto streamed = testing::loadBytes(format, stream_alloc.get(), bytes);
    const tolvex_result want = streamed ? tolvex_Success : errToResult(streamed.error());
    // Under the memory limit either load may be the one to run out.
    const bool out_of_memory = got == tolvex_OutOfMemory || want == tolvex_OutOfMemory;
    if (got != want && !out_of_memory)
        die(stage, std::string("memory load gives ") + tolvex_result_name(got) + ", the stream " +
                       tolvex_result_name(want));
    if (got == tolvex_Success && streamed) {
        const Model& m = *reinterpret_cast<const Model*>(net);
        std::string diff = testing::compareModels(*streamed, m, false);
        if (!diff.empty()) die(stage, "memory and stream models differ: " + diff);
        size_t work = m.input_size;
        for (const Layer& layer : m.layers) work += layer.out_buf.len;
        if (!m.layers.empty() && work * 4 <= kMaxWork) {
            // Three samples, batched and one by one.
            const uint32_t in = tolvex_get_input_len(net), out = tolvex_get_output_len(net);
            std::vector<float> x(size_t{in} * 3), y(size_t{out} * 3);
            for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(static_cast<int>(i % 11) - 5) * 0.75f;
            tolvex_forward_batch(net, x.data(), in, 3, y.data());
            for (size_t k = 0; k < 3; ++k) {
                tolvex_forward_pass(net, x.data() + k * in, in);
                if (out != 0 && std::memcmp(tolvex_get_output_buffer(net), y.data() + k * out, out * 4) != 0)
                    die(stage, "a batched output differs from its single pass");
            }
        }
    }
    if (streamed) deinit(*streamed);
    if (got == tolvex_Success) {
        testing::ScopedCAllocator scope(alloc);
        tolvex_free_model(net);
    }
    checkClean(alloc, stage);
    checkClean(stream_alloc, stage);
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
