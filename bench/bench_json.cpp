// Loading and writing the JSON model file of a model with about a million
// weights (1024 inputs, one linear layer of 1024 neurons, then a relu), in
// MB/s of JSON text, beside RapidJSON parsing the same bytes into its DOM
// with full-precision numbers. The load also reports its peak allocation.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/model.hpp"
#include "io/io.hpp"
#include "json/json.hpp"
#include "root/root.hpp"

#ifdef TOLVEX_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif

using namespace tolvex;

namespace {

constexpr uint32_t kInputs = 1024;
constexpr uint32_t kNeurons = 1024;

struct Fixture {
    std::vector<float> weights, biases;
    Model model;
    std::string text;

    Fixture() {
        std::mt19937 rng(2024);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        weights.resize(size_t{kInputs} * kNeurons);
        biases.resize(kNeurons);
        for (float& w : weights) w = dist(rng);
        for (float& b : biases) b = dist(rng);
        LayerDefinition defs[2];
        defs[0].cfg.type = LayerType::linear;
        defs[0].cfg.linear = {weights.data(), biases.data()};
        defs[0].size = kNeurons;
        defs[1].cfg.type = LayerType::relu;
        defs[1].size = kNeurons;
        model = *create(cAllocator(), {defs, 2}, kInputs);
        text = write(model);
    }

    static std::string write(const Model& m) {
        std::string out;
        io::ByteSink sink{&out, [](void* ctx, const uint8_t* src, size_t n) -> Status {
                              static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(src), n);
                              return {};
                          }};
        uint8_t buf[io::kBufferSize];
        io::Writer writer(sink, buf);
        if (!json::writeToWriter(m, writer) || !writer.flush()) std::abort();
        return out;
    }

    size_t paramBytes() const { return (weights.size() + biases.size()) * sizeof(float); }
};

// Counts live and peak bytes; frees are sized, so no bookkeeping per block.
struct PeakAllocator {
    size_t live = 0, peak = 0;
    static void* alloc(void* ctx, size_t len, size_t align) {
        auto* self = static_cast<PeakAllocator*>(ctx);
        void* p = nullptr;
        if (posix_memalign(&p, align < sizeof(void*) ? sizeof(void*) : align, len) != 0) return nullptr;
        self->live += len;
        if (self->live > self->peak) self->peak = self->live;
        return p;
    }
    static bool resize(void*, void*, size_t, size_t, size_t) { return false; }
    static void free(void* ctx, void* p, size_t len, size_t) {
        static_cast<PeakAllocator*>(ctx)->live -= len;
        std::free(p);
    }
    static constexpr AllocatorVTable kVTable{alloc, resize, free};
    Allocator get() { return Allocator{this, &kVTable}; }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

Result<Model> loadFromMemory(Allocator a, const std::string& text) {
    io::MemoryCursor cursor{{reinterpret_cast<const uint8_t*>(text.data()), text.size()}, 0};
    uint8_t buf[io::kBufferSize];
    io::Reader reader(io::memorySource(&cursor), buf);
    return json::loadFromReader(a, reader);
}

void checkModel(const Model& m) {
    const Fixture& f = fixture();
    if (m.layers.len != 2 ||
        std::memcmp(m.layers[0].cfg.linear.weights, f.weights.data(), f.weights.size() * sizeof(float)) != 0)
        std::abort();
}

void BM_JsonLoad(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto m = loadFromMemory(cAllocator(), f.text);
        if (!m) std::abort();
        benchmark::DoNotOptimize(m->layers.ptr);
        state.PauseTiming();
        checkModel(*m);
        deinit(*m);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text.size()));

    // Peak memory of one load, counted outside the timed loop.
    PeakAllocator counter;
    auto m = loadFromMemory(counter.get(), f.text);
    if (!m) std::abort();
    deinit(*m);
    if (counter.live != 0) std::abort();
    double bound = 3.0 * static_cast<double>(f.paramBytes()) + (1 << 20);
    state.counters["json_MB"] = static_cast<double>(f.text.size()) / 1e6;
    state.counters["param_MB"] = static_cast<double>(f.paramBytes()) / 1e6;
    state.counters["peak_MB"] = static_cast<double>(counter.peak) / 1e6;
    state.counters["peak_x_params"] = static_cast<double>(counter.peak) / static_cast<double>(f.paramBytes());
    state.counters["within_bound"] = static_cast<double>(counter.peak) <= bound ? 1 : 0;
}
BENCHMARK(BM_JsonLoad)->Unit(benchmark::kMillisecond);

void BM_JsonLoadFile(benchmark::State& state) {
    const Fixture& f = fixture();
    char path[] = "/tmp/tolvex_bench_json_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || ::write(fd, f.text.data(), f.text.size()) != static_cast<ssize_t>(f.text.size())) std::abort();
    ::close(fd);
    for (auto _ : state) {
        auto m = json::load(cAllocator(), path, std::strlen(path));
        if (!m) std::abort();
        state.PauseTiming();
        checkModel(*m);
        deinit(*m);
        state.ResumeTiming();
    }
    std::remove(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text.size()));
}
BENCHMARK(BM_JsonLoadFile)->Unit(benchmark::kMillisecond);

// The exported loaders side by side on the same text: from a file in the page
// cache (tolvex_load_json) and from memory (tolvex_load_json_memory), which
// reads the text in place and must be at least as fast.
void BM_JsonLoadExported(benchmark::State& state, bool from_memory) {
    const Fixture& f = fixture();
    char path[] = "/tmp/tolvex_bench_json_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || ::write(fd, f.text.data(), f.text.size()) != static_cast<ssize_t>(f.text.size())) std::abort();
    ::close(fd);
    tolvex_init();
    for (auto _ : state) {
        tolvex_model* net = nullptr;
        tolvex_result r = from_memory ? tolvex_load_json_memory(&net, f.text.data(), f.text.size())
                                      : tolvex_load_json(&net, path);
        if (r != tolvex_Success) std::abort();
        state.PauseTiming();
        checkModel(*reinterpret_cast<const Model*>(net));
        tolvex_free_model(net);
        state.ResumeTiming();
    }
    std::remove(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text.size()));
}
BENCHMARK_CAPTURE(BM_JsonLoadExported, file, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_JsonLoadExported, memory, true)->Unit(benchmark::kMillisecond);

void BM_JsonWrite(benchmark::State& state) {
    const Fixture& f = fixture();
    size_t written = 0;
    io::ByteSink sink{&written, [](void* ctx, const uint8_t* src, size_t n) -> Status {
                          benchmark::DoNotOptimize(src);
                          *static_cast<size_t*>(ctx) += n;
                          return {};
                      }};
    for (auto _ : state) {
        written = 0;
        uint8_t buf[io::kBufferSize];
        io::Writer writer(sink, buf);
        if (!json::writeToWriter(f.model, writer) || !writer.flush()) std::abort();
    }
    if (written != f.text.size()) std::abort();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text.size()));
}
BENCHMARK(BM_JsonWrite)->Unit(benchmark::kMillisecond);

#ifdef TOLVEX_HAVE_RAPIDJSON
void BM_RapidJsonDomFullPrecision(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseFullPrecisionFlag>(f.text.data(), f.text.size());
        if (doc.HasParseError()) std::abort();
        benchmark::DoNotOptimize(doc["layers"][0]["weight"][0][0].GetDouble());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text.size()));
}
BENCHMARK(BM_RapidJsonDomFullPrecision)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
