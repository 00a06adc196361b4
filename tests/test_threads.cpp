// Several threads in the library at once, each with models of its own:
// build, create, run, list, write, load, run again and free, over and over.
// Every output must equal, bit for bit, what a single thread computed for the
// same model beforehand. Run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/file_helpers.hpp"
#include "support/sample_models.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

constexpr int kThreads = 4;
constexpr int kIterations = 50;

// Points standard error at a pipe that a thread drains, so the listings of
// many threads do not flood the test log. A sanitizer report that lands in
// the pipe is passed on to the real standard error.
class StderrDrain {
public:
    StderrDrain() {
        std::fflush(stderr);
        if (::pipe(fds_) != 0) return;
        saved_ = ::dup(2);
        ::dup2(fds_[1], 2);
        ::close(fds_[1]);
        reader_ = std::thread([this] { drain(); });
    }
    ~StderrDrain() { stop(); }

    // Restores standard error; the number of bytes the listings wrote.
    size_t stop() {
        if (saved_ < 0) return bytes_;
        std::fflush(stderr);
        // The pipe's last writer goes away here, so the drain sees its end;
        // it may still be passing a report on through saved_.
        ::dup2(saved_, 2);
        reader_.join();
        ::close(fds_[0]);
        ::close(saved_);
        saved_ = -1;
        return bytes_;
    }

private:
    void drain() {
        char buf[4096];
        bool passing = false;
        for (;;) {
            ssize_t n = ::read(fds_[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            bytes_ += static_cast<size_t>(n);
            passing = passing || std::string_view(buf, n).find("Sanitizer") != std::string_view::npos;
            if (passing) (void)!::write(saved_, buf, n);
        }
    }

    int fds_[2] = {-1, -1};
    int saved_ = -1;
    std::thread reader_;
    size_t bytes_ = 0;
};

std::string tempDir() {
    std::string dir = (std::filesystem::temp_directory_path() / "tolvex-threads-XXXXXX").string();
    return mkdtemp(dir.data()) != nullptr ? dir : std::string();
}

// What one thread does with one model, every step checked; the first
// problem comes back as text.
std::string exercise(const ModelPlan& plan, const std::vector<float>& want, const std::string& base) {
    tolvex_model_definition* def = nullptr;
    if (buildDefinition(plan, &def) != tolvex_Success) return "build failed";
    tolvex_model* net = nullptr;
    tolvex_result r = tolvex_create(&net, def);
    tolvex_free_model_definition(def);
    if (r != tolvex_Success) return std::string("create: ") + tolvex_result_name(r);
    std::string err;
    if (outputFor(net, plan.input_size) != want) err = "created model: output differs";
    tolvex_print_layers(net);
    const std::string tv = base + ".tvxf", js = base + ".json";
    if (err.empty() && (r = tolvex_write_tvxf(net, tv.c_str())) != tolvex_Success)
        err = std::string("write tvxf: ") + tolvex_result_name(r);
    if (err.empty() && (r = tolvex_write_json(net, js.c_str())) != tolvex_Success)
        err = std::string("write json: ") + tolvex_result_name(r);
    tolvex_free_model(net);
    using Load = tolvex_result (*)(tolvex_model**, const char*);
    for (auto [load, path] : {std::pair<Load, std::string>{tolvex_load_tvxf, tv}, {tolvex_load_json, js}}) {
        if (!err.empty()) break;
        tolvex_model* loaded = nullptr;
        if ((r = load(&loaded, path.c_str())) != tolvex_Success) {
            err = "load " + path + ": " + tolvex_result_name(r);
            break;
        }
        // Run twice: no state carries over from one pass to the next.
        if (outputFor(loaded, plan.input_size) != want || outputFor(loaded, plan.input_size) != want)
            err = "loaded " + path + ": output differs";
        tolvex_print_layers(loaded);
        tolvex_free_model(loaded);
    }
    return err;
}

struct Reference {
    std::vector<ModelPlan> plans;
    std::vector<std::vector<float>> outputs;
};

// Each thread's models and their outputs, computed on this thread alone.
Reference referenceFor(uint32_t seed) {
    Reference ref{sampleModels(seed), {}};
    for (const ModelPlan& plan : ref.plans) {
        tolvex_model_definition* def = nullptr;
        tolvex_model* net = nullptr;
        if (buildDefinition(plan, &def) != tolvex_Success) continue;
        if (tolvex_create(&net, def) == tolvex_Success) {
            ref.outputs.push_back(outputFor(net, plan.input_size));
            tolvex_free_model(net);
        }
        tolvex_free_model_definition(def);
    }
    return ref;
}

}  // namespace

// The host's view: the library's own allocator, one model per thread.
TEST(Threads, OwnModelsInParallel) {
    tolvex_init();
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::vector<Reference> refs;
    for (int t = 0; t < kThreads; ++t) {
        refs.push_back(referenceFor(100 + t));
        ASSERT_EQ(refs.back().outputs.size(), refs.back().plans.size());
    }
    std::vector<std::string> errors(kThreads);
    std::atomic<int> ready{0};
    {
        StderrDrain drain;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                // Start together so the threads overlap from the first call.
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                const Reference& ref = refs[t];
                for (int it = 0; it < kIterations && errors[t].empty(); ++it)
                    for (size_t m = 0; m < ref.plans.size() && errors[t].empty(); ++m) {
                        std::string base = dir + "/t" + std::to_string(t) + "-" + ref.plans[m].name;
                        std::string err = exercise(ref.plans[m], ref.outputs[m], base);
                        if (!err.empty()) errors[t] = ref.plans[m].name + ", iteration " + std::to_string(it) + ": " + err;
                    }
            });
        }
        for (auto& th : threads) th.join();
        drain.stop();
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;
    std::filesystem::remove_all(dir);
    EXPECT_EQ(tolvex_deinit(), tolvex_Success);
}

// Many models created from one definition at once, the definition only read;
// every block is freed again once the threads are done.
TEST(Threads, CreateFromOneDefinition) {
    CountingAllocator alloc;
    ScopedCAllocator scope(alloc);
    const ModelPlan plan = sampleModels(7)[0];
    Reference ref = referenceFor(7);
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(buildDefinition(plan, &def), tolvex_Success);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int it = 0; it < kIterations * 10; ++it) {
                tolvex_model* net = nullptr;
                if (tolvex_create(&net, def) != tolvex_Success) {
                    ++mismatches[t];
                    continue;
                }
                if (outputFor(net, plan.input_size) != ref.outputs[0]) ++mismatches[t];
                tolvex_free_model(net);
            }
        });
    }
    for (auto& th : threads) th.join();
    tolvex_free_model_definition(def);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_EQ(alloc.liveBlocks(), 0u);
    EXPECT_EQ(alloc.badFrees(), 0u);
}

namespace {

// How long the tests below race loads against writes: half a second in the
// normal suite, longer where TOLVEX_STRESS_SECONDS says so (make test-tsan).
std::chrono::duration<double> raceTime() {
    const char* s = std::getenv("TOLVEX_STRESS_SECONDS");
    double v = s != nullptr ? std::atof(s) : 0.0;
    return std::chrono::duration<double>(v > 0 ? v : 0.5);
}

tolvex_result writeModel(const tolvex_model* m, const std::string& path) {
    bool json = path.ends_with(".json");
    return json ? tolvex_write_json(m, path.c_str()) : tolvex_write_tvxf(m, path.c_str());
}

// Loads the path: "" when it holds a whole uniformModel(n, v) with v among
// `allowed`, otherwise what it holds.
std::string loadOneOf(const std::string& path, uint32_t n, std::initializer_list<float> allowed) {
    tolvex_model* net = nullptr;
    tolvex_result r = path.ends_with(".json") ? tolvex_load_json(&net, path.c_str())
                                              : tolvex_load_tvxf(&net, path.c_str());
    if (r != tolvex_Success) return std::string("load: ") + tolvex_result_name(r);
    std::optional<float> v = uniformValue(net, n);
    tolvex_free_model(net);
    if (!v) return "a model put together from two";
    if (std::find(allowed.begin(), allowed.end(), *v) == allowed.end()) return "a model of " + std::to_string(*v);
    return "";
}

}  // namespace

// One thread rewrites a path with two models in turn, all weights 1 and all
// weights 2, while another loads it: every load gets one of them, whole.
TEST(Threads, LoadsRacingAWriterGetOneWholeModel) {
    tolvex_init();
    ScratchDir dir;
    tolvex_model* a = uniformModel(256, 1.0f);
    tolvex_model* b = uniformModel(256, 2.0f);
    for (const char* name : {"m.tvxf", "m.json"}) {
        SCOPED_TRACE(name);
        const std::string path = dir / name;
        ASSERT_EQ(writeModel(a, path), tolvex_Success);
        std::atomic<bool> stop{false};
        std::string write_error;
        int writes = 0;
        std::thread writer([&] {
            for (; !stop; ++writes) {
                tolvex_result r = writeModel(writes % 2 == 0 ? b : a, path);
                if (r != tolvex_Success) {
                    write_error = tolvex_result_name(r);
                    break;
                }
            }
        });
        int loads = 0, bad = 0;
        std::string first_bad;
        auto end = std::chrono::steady_clock::now() + raceTime();
        for (; std::chrono::steady_clock::now() < end; ++loads) {
            std::string err = loadOneOf(path, 256, {1.0f, 2.0f});
            if (!err.empty() && bad++ == 0) first_bad = err;
        }
        stop = true;
        writer.join();
        EXPECT_EQ(write_error, "");
        EXPECT_EQ(bad, 0) << "of " << loads << " loads during " << writes << " writes; first: " << first_bad;
        std::cout << name << ": " << loads << " loads during " << writes << " writes\n";
        EXPECT_EQ(dirEntries(dir.path()), std::vector<std::string>{name});
        std::filesystem::remove(path);
    }
    tolvex_free_model(a);
    tolvex_free_model(b);
    EXPECT_EQ(tolvex_deinit(), tolvex_Success);
}

// Several threads write paths of their own at once while two more write one
// shared path, with different models, and another loads that path: each
// thread's file ends up with its own model, every load of the shared path
// gets one whole model, and no other file is left.
TEST(Threads, WritersOnPathsOfTheirOwnAndOnOneShared) {
    tolvex_init();
    ScratchDir dir;
    constexpr uint32_t kN = 48;
    std::vector<tolvex_model*> own;
    for (int t = 0; t < kThreads; ++t) own.push_back(uniformModel(kN, static_cast<float>(t + 3)));
    tolvex_model* shared[2] = {uniformModel(kN, 1.0f), uniformModel(kN, 2.0f)};
    const std::string shared_paths[2] = {dir / "shared.tvxf", dir / "shared.json"};
    for (const std::string& p : shared_paths) ASSERT_EQ(writeModel(shared[0], p), tolvex_Success);

    std::atomic<bool> stop{false};
    std::vector<std::string> errors(kThreads + 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string paths[2] = {dir / ("own" + std::to_string(t) + ".tvxf"),
                                          dir / ("own" + std::to_string(t) + ".json")};
            for (int i = 0; !stop && errors[t].empty(); ++i) {
                const std::string& p = paths[i % 2];
                tolvex_result r = writeModel(own[t], p);
                if (r != tolvex_Success) errors[t] = p + ": write: " + tolvex_result_name(r);
                else errors[t] = loadOneOf(p, kN, {static_cast<float>(t + 3)});
            }
        });
    }
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; !stop && errors[kThreads + w].empty(); ++i) {
                tolvex_result r = writeModel(shared[(i + w) % 2], shared_paths[i % 2]);
                if (r != tolvex_Success) errors[kThreads + w] = std::string("write: ") + tolvex_result_name(r);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stop && errors[kThreads + 2].empty(); ++i)
            errors[kThreads + 2] = loadOneOf(shared_paths[i % 2], kN, {1.0f, 2.0f});
    });
    std::this_thread::sleep_for(raceTime());
    stop = true;
    for (auto& th : threads) th.join();
    for (size_t t = 0; t < errors.size(); ++t) EXPECT_EQ(errors[t], "") << "thread " << t;

    std::vector<std::string> expected = {"shared.json", "shared.tvxf"};
    for (int t = 0; t < kThreads; ++t)
        for (const char* ext : {".json", ".tvxf"}) expected.push_back("own" + std::to_string(t) + ext);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dirEntries(dir.path()), expected);
    for (tolvex_model* m : own) tolvex_free_model(m);
    for (tolvex_model* m : shared) tolvex_free_model(m);
    EXPECT_EQ(tolvex_deinit(), tolvex_Success);
}

// Loads from the same bytes in memory (only read) and batches on models of
// each thread's own, at once: every batched row equals the single pass that
// one thread computed beforehand.
TEST(Threads, MemoryLoadsAndBatchesInParallel) {
    CountingAllocator alloc;
    ScopedCAllocator scope(alloc);
    constexpr uint32_t kSamples = 5;
    struct Shared {
        std::string tvxf, json;
        uint32_t in = 0;
        std::vector<float> inputs, want;  // kSamples rows each
    };
    std::vector<Shared> models;
    for (const ModelPlan& plan : sampleModels(31)) {
        if (plan.layers.empty()) continue;
        tolvex_model_definition* def = nullptr;
        tolvex_model* net = nullptr;
        ASSERT_EQ(buildDefinition(plan, &def), tolvex_Success);
        ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
        tolvex_free_model_definition(def);
        Shared s;
        s.in = plan.input_size;
        for (uint32_t k = 0; k < kSamples; ++k) {
            std::vector<float> x = fixedInput(plan.input_size);
            for (float& v : x) v = v * static_cast<float>(k + 1) - static_cast<float>(k);
            s.inputs.insert(s.inputs.end(), x.begin(), x.end());
            tolvex_forward_pass(net, x.data(), plan.input_size);
            const float* out = tolvex_get_output_buffer(net);
            s.want.insert(s.want.end(), out, out + tolvex_get_output_len(net));
        }
        s.tvxf = encoding(net, false);
        s.json = encoding(net, true);
        tolvex_free_model(net);
        models.push_back(std::move(s));
    }
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int it = 0; it < kIterations; ++it)
                for (const Shared& s : models)
                    for (const std::string* bytes : {&s.tvxf, &s.json}) {
                        tolvex_model* net = nullptr;
                        const tolvex_result r = bytes == &s.tvxf
                                                    ? tolvex_load_tvxf_memory(&net, bytes->data(), bytes->size())
                                                    : tolvex_load_json_memory(&net, bytes->data(), bytes->size());
                        if (r != tolvex_Success) {
                            ++mismatches[t];
                            continue;
                        }
                        std::vector<float> got(s.want.size());
                        tolvex_forward_batch(net, s.inputs.data(), s.in, kSamples, got.data());
                        if (!got.empty() && std::memcmp(got.data(), s.want.data(), got.size() * sizeof(float)) != 0)
                            ++mismatches[t];
                        tolvex_free_model(net);
                    }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_EQ(alloc.liveBlocks(), 0u);
    EXPECT_EQ(alloc.badFrees(), 0u);
}
