// Loading and writing a 4096 -> 4096 linear model (64 MB of weights) as a
// tvxf file, against plain read() and write() (and write() with fsync()) of
// the same number of bytes, and loading the same bytes from memory
// (tolvex_load_tvxf_memory), which must be at least as fast as the file. The library's write replaces the file: a new
// file, synced, renamed over the old one.
// The file lives in the page cache, so these are the costs of the library's
// own work plus the copies every reader pays.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tolvex.h"

namespace {

constexpr uint32_t kIn = 4096, kOut = 4096;

struct Fixture {
    std::string dir, path, out_path;
    tolvex_model* model = nullptr;
    size_t file_bytes = 0;
    std::vector<char> bytes;  // the file's bytes, for the load from memory

    Fixture() {
        tolvex_init();
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/tolvex_bench_XXXXXX";
        dir = mkdtemp(tmpl.data());
        path = dir + "/w4.tvxf";
        out_path = dir + "/out.tvxf";
        std::vector<float> w(size_t{kIn} * kOut), b(kOut);
        uint32_t x = 12345;
        for (float& v : w) {
            x = x * 1664525u + 1013904223u;
            v = static_cast<float>(static_cast<int32_t>(x)) * 0x1p-31f;
        }
        tolvex_model_definition* def = nullptr;
        tolvex_new_model_definition(&def, kIn);
        tolvex_add_linear(def, {w.data(), b.data()}, kOut);
        tolvex_create(&model, def);
        tolvex_free_model_definition(def);
        if (tolvex_write_tvxf(model, path.c_str()) != tolvex_Success) std::abort();
        file_bytes = 12 + 8 + 4 + size_t{kIn} * kOut * 4 + 4 + kOut * 4;
    }
    const std::vector<char>& fileBytes();
    ~Fixture() {
        tolvex_free_model(model);
        unlink(path.c_str());
        unlink(out_path.c_str());
        rmdir(dir.c_str());
        tolvex_deinit();
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// read() of the whole file into buf; returns the byte count.
size_t readAll(const std::string& path, char* buf, size_t cap) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    size_t got = 0;
    ssize_t n;
    while (got < cap && (n = read(fd, buf + got, cap - got)) > 0) got += static_cast<size_t>(n);
    close(fd);
    return got;
}

const std::vector<char>& Fixture::fileBytes() {
    if (bytes.empty()) {
        bytes.resize(file_bytes);
        if (readAll(path, bytes.data(), bytes.size()) != file_bytes) std::abort();
    }
    return bytes;
}

// The file's bytes already in memory, as an archive or a bundle holds them:
// no system call, and each field copied once, straight into the model.
void BM_LoadTvxfMemory(benchmark::State& state) {
    Fixture& f = fixture();
    const std::vector<char>& bytes = f.fileBytes();
    tolvex_model* loaded = nullptr;
    for (auto _ : state) {
        if (tolvex_load_tvxf_memory(&loaded, bytes.data(), bytes.size()) != tolvex_Success)
            state.SkipWithError("load failed");
        state.PauseTiming();
        tolvex_free_model(loaded);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.file_bytes));
    tolvex_load_tvxf_memory(&loaded, bytes.data(), bytes.size());
    if (tolvex_get_output_len(loaded) != kOut || tolvex_get_input_len(loaded) != kIn) state.SkipWithError("wrong model");
    tolvex_free_model(loaded);
}

void BM_LoadTvxf(benchmark::State& state) {
    Fixture& f = fixture();
    tolvex_model* loaded = nullptr;
    for (auto _ : state) {
        if (tolvex_load_tvxf(&loaded, f.path.c_str()) != tolvex_Success) state.SkipWithError("load failed");
        state.PauseTiming();
        tolvex_free_model(loaded);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.file_bytes));
    tolvex_load_tvxf(&loaded, f.path.c_str());
    if (tolvex_get_output_len(loaded) != kOut) state.SkipWithError("wrong model");
    tolvex_free_model(loaded);
}

// The same bytes read into a new buffer each time: the pages are faulted in
// by the read, as they are for the loader's freshly allocated arrays.
void BM_ReadFileBytesFreshBuffer(benchmark::State& state) {
    Fixture& f = fixture();
    size_t got = 0;
    for (auto _ : state) {
        char* buf = static_cast<char*>(std::malloc(f.file_bytes));
        got = readAll(f.path, buf, f.file_bytes);
        benchmark::DoNotOptimize(buf);
        state.PauseTiming();
        std::free(buf);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.file_bytes));
    if (got != f.file_bytes) state.SkipWithError("short read");
}

// Into one buffer whose pages are already mapped: the copy alone.
void BM_ReadFileBytesWarmBuffer(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<char> buf(f.file_bytes, 1);
    size_t got = 0;
    for (auto _ : state) {
        got = readAll(f.path, buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.file_bytes));
    if (got != f.file_bytes) state.SkipWithError("short read");
}

void BM_WriteTvxf(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        if (tolvex_write_tvxf(f.model, f.out_path.c_str()) != tolvex_Success)
            state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.file_bytes));
    std::vector<char> a(f.file_bytes + 1), b(f.file_bytes + 1);
    if (readAll(f.out_path, a.data(), a.size()) != f.file_bytes ||
        readAll(f.path, b.data(), b.size()) != f.file_bytes ||
        std::memcmp(a.data(), b.data(), f.file_bytes) != 0)
        state.SkipWithError("written file differs");
}

// write() of the same number of bytes from memory into a truncated file;
// with state.range(0), also fsync() before the close, the one step of the
// library's write that is not about the format: how long the device takes to
// hold the data.
void BM_WriteFileBytes(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<char> buf(f.file_bytes, 1);
    for (auto _ : state) {
        int fd = open(f.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        size_t put = 0;
        ssize_t n;
        while (put < buf.size() && (n = write(fd, buf.data() + put, buf.size() - put)) > 0)
            put += static_cast<size_t>(n);
        if (state.range(0) != 0 && fsync(fd) != 0) state.SkipWithError("fsync failed");
        close(fd);
        if (put != buf.size()) state.SkipWithError("short write");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.file_bytes));
}

}  // namespace

BENCHMARK(BM_LoadTvxf)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadTvxfMemory)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadFileBytesFreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadFileBytesWarmBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteTvxf)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteFileBytes)->ArgName("fsync")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
