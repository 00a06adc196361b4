// Allocation failure at every point of every exported function that
// allocates. For k = 1, 2, ... the k-th allocation of the call fails until the
// call gets through without a failure. Each failure must give OutOfMemory and
// leave nothing allocated, no file open and the handle variable as
// documented; the next call must then succeed normally. Writers, which
// allocate nothing, fail instead at every byte of their output.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "io/io.hpp"
#include "json/json.hpp"
#include "support/model_files.hpp"
#include "support/sample_models.hpp"
#include "support/test_allocators.hpp"
#include "tvxf/tvxf.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

int openFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory stream itself
}

// A handle value no call would store: tells "unchanged" apart from NULL.
template <class T>
T* sentinel() {
    return reinterpret_cast<T*>(uintptr_t{0x5e5e5e5e});
}

const ModelDefinition& defOf(const tolvex_model_definition* d) {
    return *reinterpret_cast<const ModelDefinition*>(d);
}

std::vector<LayerDefinition> layersOf(const tolvex_model_definition* d) {
    const ModelDefinition& def = defOf(d);
    return {def.layers.ptr, def.layers.ptr + def.layers.len};
}

bool sameLayers(const std::vector<LayerDefinition>& a, const std::vector<LayerDefinition>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(LayerDefinition)) == 0);
}

class FailureSweep : public ::testing::Test {
protected:
    CountingAllocator alloc;
    ScopedCAllocator scope{alloc};
    std::map<std::string, size_t> points;  // failure points per entry point

    void TearDown() override {
        for (const auto& [fn, n] : points) {
            std::cout << "[ sweep    ] " << fn << ": " << n << " failure points, all clean\n";
            RecordProperty(fn, static_cast<int>(n));
        }
        EXPECT_EQ(alloc.badFrees(), 0u);
    }

    // Runs call() with its k-th allocation failing, k = 1, 2, ..., until it
    // succeeds; check(k) inspects each failure. Returns the number of
    // failure points.
    template <class Call, class Check>
    size_t sweep(const std::string& fn, Call&& call, Check&& check) {
        size_t k = 1;
        for (;; ++k) {
            size_t live = alloc.liveBlocks();
            int fds = openFds();
            alloc.failAt(k);
            tolvex_result r = call();
            alloc.failAt(0);
            if (r == tolvex_Success) break;
            SCOPED_TRACE(fn + ", allocation " + std::to_string(k));
            EXPECT_EQ(r, tolvex_OutOfMemory) << tolvex_result_name(r);
            EXPECT_EQ(alloc.liveBlocks(), live);
            EXPECT_EQ(openFds(), fds);
            check(k);
            if (::testing::Test::HasFailure()) break;
        }
        points[fn] += k - 1;
        return k - 1;
    }
};

}  // namespace

TEST_F(FailureSweep, Builder) {
    std::vector<ModelPlan> plans = sampleModels(1);
    // A long definition: its layer list grows many times.
    plans.push_back({"long", 2, std::vector<LayerPlan>(1000, LayerPlan{LayerType::relu, 2, {}, {}})});
    for (const ModelPlan& plan : plans) {
        SCOPED_TRACE(plan.name);
        // tolvex_new_model_definition: only the record can fail.
        tolvex_model_definition* def = sentinel<tolvex_model_definition>();
        sweep("tolvex_new_model_definition",
              [&] {
                  def = sentinel<tolvex_model_definition>();
                  return tolvex_new_model_definition(&def, plan.input_size);
              },
              [&](size_t) { EXPECT_EQ(def, sentinel<tolvex_model_definition>()); });
        ASSERT_NE(def, sentinel<tolvex_model_definition>());
        // Each tolvex_add_*: the layer list's growth can fail, and must leave
        // the definition as it was.
        for (const LayerPlan& layer : plan.layers) {
            std::vector<LayerDefinition> before = layersOf(def);
            sweep("tolvex_add_*", [&] { return addLayer(def, layer); },
                  [&](size_t) { EXPECT_TRUE(sameLayers(layersOf(def), before)); });
            ASSERT_EQ(layersOf(def).size(), before.size() + 1);
        }
        EXPECT_EQ(defOf(def).layers.len, plan.layers.size());
        tolvex_free_model_definition(def);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
    }
    // Every growth of the long list was among the failure points.
    EXPECT_GE(points["tolvex_add_*"], 8u);
}

TEST_F(FailureSweep, Create) {
    for (const ModelPlan& plan : sampleModels(2)) {
        SCOPED_TRACE(plan.name);
        tolvex_model_definition* def = nullptr;
        ASSERT_EQ(buildDefinition(plan, &def), tolvex_Success);
        tolvex_model* ref = nullptr;
        ASSERT_EQ(tolvex_create(&ref, def), tolvex_Success);
        std::vector<float> want = outputFor(ref, plan.input_size);
        tolvex_free_model(ref);

        tolvex_model* net = nullptr;
        sweep("tolvex_create",
              [&] {
                  net = sentinel<tolvex_model>();
                  return tolvex_create(&net, def);
              },
              [&](size_t k) {
                  // The record is the first allocation; after it, a failure
                  // leaves NULL behind.
                  if (k == 1) EXPECT_EQ(net, sentinel<tolvex_model>());
                  else EXPECT_EQ(net, nullptr);
                  // The next call succeeds and computes the same bits.
                  tolvex_model* again = nullptr;
                  ASSERT_EQ(tolvex_create(&again, def), tolvex_Success);
                  EXPECT_EQ(outputFor(again, plan.input_size), want);
                  tolvex_free_model(again);
              });
        EXPECT_EQ(outputFor(net, plan.input_size), want);
        tolvex_free_model(net);
        tolvex_free_model_definition(def);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
    }
}

TEST_F(FailureSweep, Loaders) {
    std::string dir = (std::filesystem::temp_directory_path() / "tolvex-sweep-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    using Load = tolvex_result (*)(tolvex_model**, const char*);
    using Write = tolvex_result (*)(const tolvex_model*, const char*);
    using LoadMemory = tolvex_result (*)(tolvex_model**, const void*, size_t);
    struct Entry {
        const char* name;
        const char* ext;
        Write write;
        Load load;
        LoadMemory load_memory;
    };
    const Entry entries[] = {
        {"tolvex_load_tvxf", ".tvxf", tolvex_write_tvxf, tolvex_load_tvxf, tolvex_load_tvxf_memory},
        {"tolvex_load_json", ".json", tolvex_write_json, tolvex_load_json, tolvex_load_json_memory}};
    for (const ModelPlan& plan : sampleModels(3)) {
        SCOPED_TRACE(plan.name);
        tolvex_model_definition* def = nullptr;
        ASSERT_EQ(buildDefinition(plan, &def), tolvex_Success);
        tolvex_model* ref = nullptr;
        ASSERT_EQ(tolvex_create(&ref, def), tolvex_Success);
        tolvex_free_model_definition(def);
        std::vector<float> want = outputFor(ref, plan.input_size);
        for (const Entry& e : entries) {
            SCOPED_TRACE(e.name);
            std::string path = dir + "/" + plan.name + e.ext;
            ASSERT_EQ(e.write(ref, path.c_str()), tolvex_Success);
            tolvex_model* net = nullptr;
            sweep(
                e.name,
                [&] {
                    net = sentinel<tolvex_model>();
                    return e.load(&net, path.c_str());
                },
                [&](size_t k) {
                    if (k == 1) EXPECT_EQ(net, sentinel<tolvex_model>());
                    else EXPECT_EQ(net, nullptr);
                    tolvex_model* again = nullptr;
                    ASSERT_EQ(e.load(&again, path.c_str()), tolvex_Success);
                    EXPECT_EQ(outputFor(again, plan.input_size), want);
                    tolvex_free_model(again);
                });
            EXPECT_EQ(outputFor(net, plan.input_size), want);
            tolvex_free_model(net);

            // The same bytes from memory: the same failure points, less the
            // JSON parser's copies of numbers that straddle two file reads.
            std::ifstream in(path, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            const std::string memory_name = std::string(e.name) + "_memory";
            sweep(
                memory_name,
                [&] {
                    net = sentinel<tolvex_model>();
                    return e.load_memory(&net, bytes.data(), bytes.size());
                },
                [&](size_t k) {
                    if (k == 1) EXPECT_EQ(net, sentinel<tolvex_model>());
                    else EXPECT_EQ(net, nullptr);
                });
            EXPECT_EQ(outputFor(net, plan.input_size), want);
            tolvex_free_model(net);
            EXPECT_LE(points[memory_name], points[e.name]);
            EXPECT_GT(points[memory_name], 0u);
        }
        tolvex_free_model(ref);
        EXPECT_EQ(alloc.liveBlocks(), 0u);
    }
    std::filesystem::remove_all(dir);
}

// A sink that fills up after c bytes, for every c short of the whole text:
// WriteFailed, and what reached the sink is the start of the full output.
TEST_F(FailureSweep, WritersFailAtEveryByte) {
    for (const ModelPlan& plan : sampleModels(4)) {
        SCOPED_TRACE(plan.name);
        tolvex_model_definition* def = nullptr;
        ASSERT_EQ(buildDefinition(plan, &def), tolvex_Success);
        tolvex_model* net = nullptr;
        ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
        tolvex_free_model_definition(def);
        const Model& model = *reinterpret_cast<const Model*>(net);
        for (Format format : {Format::tvxf, Format::json}) {
            SCOPED_TRACE(formatName(format));
            auto full = writeBytes(format, model);
            ASSERT_TRUE(full);
            std::vector<uint8_t> room(full->size());
            for (size_t cap = 0; cap < full->size(); ++cap) {
                io::MemoryBuffer mem{std::span<uint8_t>(room.data(), cap), 0};
                uint8_t buf[io::kBufferSize];
                io::Writer writer(io::memorySink(&mem), buf);
                Status s = format == Format::tvxf ? tvxf::writeToWriter(model, writer)
                                                  : json::writeToWriter(model, writer);
                if (s) s = writer.flush();
                ASSERT_FALSE(s) << "capacity " << cap;
                EXPECT_EQ(s.error(), Error::WriteFailed);
                ASSERT_EQ(std::memcmp(room.data(), full->data(), mem.len), 0) << "capacity " << cap;
            }
            points[std::string("write ") + formatName(format) + " (bytes)"] += full->size();
        }
        tolvex_free_model(net);
    }
    EXPECT_EQ(alloc.liveBlocks(), 0u);
}
