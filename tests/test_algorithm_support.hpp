// Shared pieces of the kernel tests: a fixture that runs a test once per
// available kernel implementation, random floats with special values, random
// models of every layer type, and a bit-for-bit comparison.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "algorithm/kernels.hpp"
#include "support/reference_kernels.hpp"
#include "tolvex.h"

namespace tolvex::testing {

// Forces one implementation for the test's duration.
class KernelPath : public ::testing::TestWithParam<const KernelTable*> {
protected:
    void SetUp() override { forceImplementation(GetParam()); }
    void TearDown() override { forceImplementation(nullptr); }
};

inline std::vector<const KernelTable*> kernelPaths() {
    Slice<const KernelTable* const> all = availableImplementations();
    return {all.begin(), all.end()};
}

inline std::string kernelPathName(const ::testing::TestParamInfo<const KernelTable*>& info) {
    return info.param->name;
}

#define TOLVEX_ON_EVERY_KERNEL_PATH(Fixture)                                                   \
    INSTANTIATE_TEST_SUITE_P(Paths, Fixture, ::testing::ValuesIn(::tolvex::testing::kernelPaths()), \
                             ::tolvex::testing::kernelPathName)

inline uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

inline std::string describe(float f) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", static_cast<double>(f), bitsOf(f));
    return buf;
}

// Same bits element by element (any NaN matches any NaN).
inline ::testing::AssertionResult sameBits(const float* expected, const float* actual, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!sameFloat(expected[i], actual[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": expected " << describe(expected[i]) << ", got " << describe(actual[i]);
    return ::testing::AssertionSuccess();
}

// Random floats spread over many binades, so that a change in the order of
// additions changes the rounding. `special` is the chance of an exact zero,
// -0.0, infinity, NaN or subnormal; the infinities and NaN take a tenth of it.
class FloatSource {
public:
    explicit FloatSource(uint32_t seed) : rng_(seed) {}

    float next(double special) {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        double r = u(rng_);
        if (r < special) {
            double k = r / special;
            if (k < 0.35) return 0.0f;
            if (k < 0.7) return -0.0f;
            if (k < 0.9) return (k < 0.8 ? 1.0f : -1.0f) * std::numeric_limits<float>::denorm_min() * 37.0f;
            if (k < 0.94) return std::numeric_limits<float>::infinity();
            if (k < 0.97) return -std::numeric_limits<float>::infinity();
            return std::numeric_limits<float>::quiet_NaN();
        }
        std::uniform_int_distribution<int> e(-8, 8);
        return static_cast<float>(std::ldexp(u(rng_) * 2.0 - 1.0, e(rng_)));
    }

    std::vector<float> vec(size_t n, double special) {
        std::vector<float> v(n);
        for (float& f : v) f = next(special);
        return v;
    }

    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

private:
    std::mt19937 rng_;
};

// Layer definitions over arrays this record owns until the model copies them.
struct RandomModel {
    std::vector<LayerDefinition> defs;
    std::vector<std::vector<float>> arrays;
    uint32_t input_size = 0;

    const float* keep(std::vector<float> v) {
        arrays.push_back(std::move(v));
        return arrays.back().data();
    }
};

inline constexpr uint32_t kRandomModelWidths[] = {0, 1, 5, 8, 15, 16, 17, 31, 32, 33, 64, 67, 131, 200};

// One to eight layers of random types; the input size and the size of every
// linear layer are drawn from `widths`.
inline RandomModel randomModel(FloatSource& src, std::span<const uint32_t> widths = kRandomModelWidths) {
    RandomModel m;
    auto width = [&] { return widths[src.below(static_cast<uint32_t>(widths.size()))]; };
    m.input_size = width();
    m.arrays.reserve(64);
    uint32_t prev = m.input_size;
    const uint32_t layers = 1 + src.below(8);
    for (uint32_t i = 0; i < layers; ++i) {
        LayerDefinition d;
        d.cfg.type = static_cast<LayerType>(src.below(kLayerTypeCount));
        d.size = d.cfg.type == LayerType::linear ? width() : prev;
        switch (d.cfg.type) {
            case LayerType::linear:
                d.cfg.linear.weights = m.keep(src.vec(size_t{d.size} * prev, 0.001));
                d.cfg.linear.biases = m.keep(src.vec(d.size, 0.01));
                break;
            case LayerType::layer_norm:
                d.cfg.layer_norm.weights = m.keep(src.vec(d.size, 0.0));
                d.cfg.layer_norm.biases = m.keep(src.vec(d.size, 0.0));
                d.cfg.layer_norm.eps = 1e-5f;
                break;
            case LayerType::clip: d.cfg.clip = {-0.5f, src.next(0.0)}; break;
            case LayerType::elu: d.cfg.elu = {src.next(0.0)}; break;
            case LayerType::leaky_relu: d.cfg.leaky_relu = {src.next(0.0)}; break;
            default: break;
        }
        m.defs.push_back(d);
        prev = d.size;
    }
    return m;
}

// The random model as a definition made through the exported builder; on
// failure the definition is freed and *def is NULL.
inline tolvex_result defineRandomModel(const RandomModel& m, tolvex_model_definition** def) {
    *def = nullptr;
    tolvex_result r = tolvex_new_model_definition(def, m.input_size);
    for (size_t i = 0; i < m.defs.size() && r == tolvex_Success; ++i) {
        const LayerDefinition& d = m.defs[i];
        switch (d.cfg.type) {
            case LayerType::linear: r = tolvex_add_linear(*def, d.cfg.linear, d.size); break;
            case LayerType::layer_norm: r = tolvex_add_layer_norm(*def, d.cfg.layer_norm, d.size); break;
            case LayerType::clip: r = tolvex_add_clip(*def, d.cfg.clip, d.size); break;
            case LayerType::elu: r = tolvex_add_elu(*def, d.cfg.elu, d.size); break;
            case LayerType::relu: r = tolvex_add_relu(*def, d.size); break;
            case LayerType::relu6: r = tolvex_add_relu6(*def, d.size); break;
            case LayerType::sigmoid: r = tolvex_add_sigmoid(*def, d.size); break;
            case LayerType::tanh: r = tolvex_add_tanh(*def, d.size); break;
            case LayerType::leaky_relu: r = tolvex_add_leaky_relu(*def, d.cfg.leaky_relu, d.size); break;
        }
    }
    if (r != tolvex_Success && *def != nullptr) {
        tolvex_free_model_definition(*def);
        *def = nullptr;
    }
    return r;
}

// Sizes around the vector widths and the group sizes, and a few large ones.
inline std::vector<size_t> kernelSizes() {
    std::vector<size_t> s;
    for (size_t i = 0; i <= 70; ++i) s.push_back(i);
    for (size_t i : {96, 127, 128, 129, 255, 256, 257, 300}) s.push_back(i);
    return s;
}

}  // namespace tolvex::testing
