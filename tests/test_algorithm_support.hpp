// Shared pieces of the kernel tests: a fixture that runs a test once per
// available kernel implementation, random floats with special values, and a
// bit-for-bit comparison.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithm/kernels.hpp"
#include "support/reference_kernels.hpp"

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

// Sizes around the vector widths and the group sizes, and a few large ones.
inline std::vector<size_t> kernelSizes() {
    std::vector<size_t> s;
    for (size_t i = 0; i <= 70; ++i) s.push_back(i);
    for (size_t i : {96, 127, 128, 129, 255, 256, 257, 300}) s.push_back(i);
    return s;
}

}  // namespace tolvex::testing
