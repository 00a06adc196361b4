// Several threads in the library at once, each with models of its own:
// build, create, run, list, write, load, run again and free, over and over.
// Every output must equal, bit for bit, what a single thread computed for the
// same model beforehand. Run under ThreadSanitizer by `make test-tsan`.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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
