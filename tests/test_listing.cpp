// The layer listing, captured from file descriptor 2.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "common/model.hpp"
#include "root/root.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;

namespace {

// Redirects file descriptor 2 into a temporary file for the object's life.
class CaptureStderr {
   public:
    CaptureStderr() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~CaptureStderr() {
        restore();
        std::fclose(file_);
    }
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string text() {
        std::fflush(stderr);
        std::string out;
        char buf[4096];
        ssize_t n;
        off_t pos = 0;
        while ((n = pread(fileno(file_), buf, sizeof buf, pos)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            pos += n;
        }
        return out;
    }

   private:
    FILE* file_ = nullptr;
    int saved_ = -1;
};

std::string listing(const Model& m) {
    CaptureStderr cap;
    printLayers(m);
    return cap.text();
}

// A model record for the listing alone: it reads sizes and scalar
// parameters, never the arrays, so the buffers need not exist.
struct FakeModel {
    std::vector<Layer> layers;
    Model model(uint32_t input_size) {
        Model m;
        m.layers = {layers.data(), layers.size()};
        m.input_size = input_size;
        return m;
    }
    LayerConfig& add(LayerType t, size_t size) {
        Layer l;
        l.cfg.type = t;
        l.out_buf = {nullptr, size};
        layers.push_back(l);
        return layers.back().cfg;
    }
};

std::string lineOf(float v, LayerType t) {
    FakeModel f;
    LayerConfig& c = f.add(t, 2);
    switch (t) {
        case LayerType::layer_norm: c.layer_norm.eps = v; break;
        case LayerType::clip: c.clip = {v, -v}; break;
        case LayerType::elu: c.elu.alpha = v; break;
        case LayerType::leaky_relu: c.leaky_relu.negative_slope = v; break;
        default: break;
    }
    std::string text = listing(f.model(2));
    return text.substr(text.find("#0: ") + 4);
}

}  // namespace

TEST(Listing, ThreeLayerModelThroughTheExportedFunction) {
    tolvex::testing::CountingAllocator counter;
    tolvex::testing::ScopedCAllocator scope(counter);
    std::vector<float> w(32, 0.5f), b(8, 0.0f);
    tolvex_model_definition* def = nullptr;
    ASSERT_EQ(tolvex_new_model_definition(&def, 4), tolvex_Success);
    ASSERT_EQ(tolvex_add_linear(def, {w.data(), b.data()}, 8), tolvex_Success);
    ASSERT_EQ(tolvex_add_leaky_relu(def, {0.01f}, 8), tolvex_Success);
    ASSERT_EQ(tolvex_add_clip(def, {-1.0f, 1.0f}, 8), tolvex_Success);
    tolvex_model* net = nullptr;
    ASSERT_EQ(tolvex_create(&net, def), tolvex_Success);
    tolvex_free_model_definition(def);

    CaptureStderr cap;
    tolvex_print_layers(net);
    EXPECT_EQ(cap.text(),
              "model layers:\n"
              "input size: 4\n"
              "#0: linear layer (size=8)\n"
              "#1: LeakyReLU layer (size=8, negative_slope=0.01)\n"
              "#2: clipping layer (size=8, min=-1, max=1)\n");
    tolvex_free_model(net);
}

TEST(Listing, EveryTypeAndItsParameters) {
    FakeModel f;
    f.add(LayerType::linear, 3);
    f.add(LayerType::layer_norm, 3).layer_norm.eps = 1e-5f;
    f.add(LayerType::clip, 3).clip = {-6.0f, 6.0f};
    f.add(LayerType::elu, 3).elu.alpha = 1.0f;
    f.add(LayerType::relu, 3);
    f.add(LayerType::relu6, 3);
    f.add(LayerType::sigmoid, 3);
    f.add(LayerType::tanh, 3);
    f.add(LayerType::leaky_relu, 3).leaky_relu.negative_slope = 0.125f;
    f.add(LayerType::linear, 0);
    EXPECT_EQ(listing(f.model(0)),
              "model layers:\n"
              "input size: 0\n"
              "#0: linear layer (size=3)\n"
              "#1: layer normalization layer (size=3, eps=0.00001)\n"
              "#2: clipping layer (size=3, min=-6, max=6)\n"
              "#3: ELU layer (size=3, alpha=1)\n"
              "#4: ReLU layer (size=3)\n"
              "#5: ReLU6 layer (size=3)\n"
              "#6: Sigmoid layer (size=3)\n"
              "#7: tanh layer (size=3)\n"
              "#8: LeakyReLU layer (size=3, negative_slope=0.125)\n"
              "#9: linear layer (size=0)\n");
}

TEST(Listing, ModelWithoutLayersListsTwoLines) {
    FakeModel f;
    EXPECT_EQ(listing(f.model(4294967295u)), "model layers:\ninput size: 4294967295\n");
}

TEST(Listing, PositionsCountSharedBufferLayers) {
    FakeModel f;
    f.add(LayerType::linear, 5);
    for (int i = 0; i < 11; ++i) f.add(LayerType::relu, 5);
    std::string text = listing(f.model(1));
    EXPECT_NE(text.find("\n#9: ReLU layer (size=5)\n#10: ReLU layer (size=5)\n#11: ReLU layer (size=5)\n"),
              std::string::npos)
        << text;
}

TEST(Listing, NumberNotation) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(lineOf(nan, LayerType::elu), "ELU layer (size=2, alpha=nan)\n");
    EXPECT_EQ(lineOf(-nan, LayerType::elu), "ELU layer (size=2, alpha=-nan)\n");
    EXPECT_EQ(lineOf(-inf, LayerType::clip), "clipping layer (size=2, min=-inf, max=inf)\n");
    EXPECT_EQ(lineOf(-0.0f, LayerType::clip), "clipping layer (size=2, min=-0, max=0)\n");
    EXPECT_EQ(lineOf(100000.0f, LayerType::leaky_relu), "LeakyReLU layer (size=2, negative_slope=100000)\n");
    EXPECT_EQ(lineOf(-123.25f, LayerType::elu), "ELU layer (size=2, alpha=-123.25)\n");
    EXPECT_EQ(lineOf(0.1f, LayerType::layer_norm), "layer normalization layer (size=2, eps=0.1)\n");
}

TEST(Listing, FragmentsLongerThanTheStagingBuffer) {
    // 100 bytes in one fragment: the staging buffer fills and is written out
    // mid-fragment without losing or repeating anything.
    FakeModel f;
    f.add(LayerType::layer_norm, 4294967295u).layer_norm.eps = -std::numeric_limits<float>::denorm_min();
    f.add(LayerType::clip, 4294967295u).clip = {-std::numeric_limits<float>::max(), 1.5f};
    std::string expected =
        "model layers:\ninput size: 4294967295\n#0: layer normalization layer (size=4294967295, eps=-0." +
        std::string(44, '0') +
        "1)\n#1: clipping layer (size=4294967295, min=-340282350000000000000000000000000000000, max=1.5)\n";
    EXPECT_EQ(listing(f.model(4294967295u)), expected);
}

TEST(Listing, WaitsForTheStderrLock) {
    FakeModel f;
    f.add(LayerType::relu, 1);
    Model m = f.model(1);
    CaptureStderr cap;
    std::atomic<bool> finished{false};
    flockfile(stderr);
    std::thread t([&] {
        printLayers(m);
        finished = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(finished.load());
    EXPECT_EQ(cap.text(), "");
    funlockfile(stderr);
    t.join();
    EXPECT_EQ(cap.text(), "model layers:\ninput size: 1\n#0: ReLU layer (size=1)\n");
}

TEST(Listing, KeepsOrderWithTheHostsBufferedStderr) {
    // A host that gave stderr a buffer sees its own earlier text first. Run
    // in a child so the parent's stderr keeps its default buffering.
    FakeModel f;
    f.add(LayerType::tanh, 2);
    Model m = f.model(2);
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        static char buf[1 << 16];
        dup2(fileno(out), 2);
        setvbuf(stderr, buf, _IOFBF, sizeof buf);
        std::fputs("host before\n", stderr);
        printLayers(m);
        std::fputs("host after\n", stderr);
        std::fflush(stderr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    std::string text(4096, '\0');
    ssize_t n = pread(fileno(out), text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::fclose(out);
    EXPECT_EQ(text, "host before\nmodel layers:\ninput size: 2\n#0: tanh layer (size=2)\nhost after\n");
}

TEST(Listing, WriteErrorsAreIgnored) {
    FakeModel f;
    f.add(LayerType::sigmoid, 1);
    std::fflush(stderr);
    int saved = dup(2);
    close(2);
    printLayers(f.model(1));  // returns normally
    dup2(saved, 2);
    close(saved);
    std::clearerr(stderr);
    EXPECT_EQ(listing(f.model(1)), "model layers:\ninput size: 1\n#0: Sigmoid layer (size=1)\n");
}
