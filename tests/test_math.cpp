// The correctly rounded exp and tanh against MPFR, on the scalar and every
// vector path: special values, thresholds, the exception tables and millions of
// seeded random inputs. (tools/check_math covers all 2^32 inputs once.)
#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

#include "algorithm/kernels.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

namespace {

namespace m = tolvex::math;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
float fromBits(uint32_t b) { return std::bit_cast<float>(b); }

enum class Fn { exp, tanh };

// MPFR rounding to binary32: 24 bits, float exponents, subnormals emulated.
class Reference {
public:
    Reference() {
        saved_emin_ = mpfr_get_emin();
        saved_emax_ = mpfr_get_emax();
        mpfr_set_emin(-148);
        mpfr_set_emax(128);
        mpfr_init2(x_, 24);
        mpfr_init2(y_, 24);
    }
    ~Reference() {
        mpfr_clear(x_);
        mpfr_clear(y_);
        mpfr_set_emin(saved_emin_);
        mpfr_set_emax(saved_emax_);
    }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    float operator()(Fn f, float x) {
        if (std::isnan(x)) return fromBits(bits(x) | 0x00400000u);
        mpfr_set_flt(x_, x, MPFR_RNDN);
        int t = f == Fn::exp ? mpfr_exp(y_, x_, MPFR_RNDN) : mpfr_tanh(y_, x_, MPFR_RNDN);
        t = mpfr_subnormalize(y_, t, MPFR_RNDN);
        return mpfr_get_flt(y_, MPFR_RNDN);
    }

private:
    mpfr_t x_, y_;
    mpfr_exp_t saved_emin_, saved_emax_;
};

// The array forms of every kernel implementation this CPU can run.
struct VectorPath {
    const char* name;
    void (*exp)(const float*, float*, size_t);
    void (*tanh)(const float*, float*, size_t);
    void (*of(Fn f) const)(const float*, float*, size_t) { return f == Fn::exp ? exp : tanh; }
};

std::vector<VectorPath> vectorPaths() {
    std::vector<VectorPath> paths;
    for (const tolvex::KernelTable* t : tolvex::availableImplementations())
        paths.push_back({t->name, t->exp_array, t->tanh_array});
    return paths;
}

// Runs `xs` through every path of `f` and compares each result bit for bit
// with MPFR; reports the first few differences.
void expectCorrectlyRounded(Fn f, const std::vector<float>& xs) {
    std::vector<float> scalar(xs.size());
    (f == Fn::exp ? m::expArray : m::tanhArray)(xs.data(), scalar.data(), xs.size());
    const std::vector<VectorPath> paths = vectorPaths();
    std::vector<std::vector<float>> vec(paths.size(), std::vector<float>(xs.size()));
    for (size_t p = 0; p < paths.size(); ++p) paths[p].of(f)(xs.data(), vec[p].data(), xs.size());
    Reference ref;
    int failures = 0;
    for (size_t i = 0; i < xs.size() && failures < 10; ++i) {
        uint32_t want = bits(ref(f, xs[i]));
        uint32_t one = bits(f == Fn::exp ? m::exp(xs[i]) : m::tanh(xs[i]));
        if (bits(scalar[i]) != want || one != want) {
            ++failures;
            ADD_FAILURE() << (f == Fn::exp ? "exp(" : "tanh(") << std::hexfloat << xs[i] << ") scalar "
                          << scalar[i] << " want " << fromBits(want);
        }
        for (size_t p = 0; p < paths.size(); ++p) {
            if (bits(vec[p][i]) != want) {
                ++failures;
                ADD_FAILURE() << (f == Fn::exp ? "exp(" : "tanh(") << std::hexfloat << xs[i] << ") "
                              << paths[p].name << " " << vec[p][i] << " want " << fromBits(want);
            }
        }
    }
}

#ifdef TOLVEX_SANITIZED
constexpr size_t kSamples = 300'000;
#else
constexpr size_t kSamples = 5'000'000;
#endif

// Half the samples uniform over all bit patterns, the rest over [−range,
// range], [−1, 1], magnitudes 2^-30 … 2^-4, and ±0.5 around each of `centres`.
std::vector<float> randomInputs(uint64_t seed, float range, std::vector<float> centres) {
    std::mt19937_64 gen(seed);
    std::vector<float> xs(kSamples);
    std::uniform_real_distribution<float> wide(-range, range), unit(-1.0f, 1.0f), near(-0.5f, 0.5f);
    std::uniform_int_distribution<uint32_t> any, small(bits(0x1p-30f), bits(0x1p-4f));
    for (size_t i = 0; i < kSamples; ++i) {
        switch (i % 8) {
            case 4: xs[i] = wide(gen); break;
            case 5: xs[i] = unit(gen); break;
            case 6: xs[i] = fromBits(small(gen) | (any(gen) & 0x80000000u)); break;
            case 7: xs[i] = centres[i / 8 % centres.size()] + near(gen); break;
            default: xs[i] = fromBits(any(gen)); break;
        }
    }
    return xs;
}

// Inputs every run must get right: zeros, infinities, NaNs, subnormals, the
// extremes, and the neighbours of every threshold where the result changes
// character (overflow, underflow to subnormals and to zero, rounding to 1).
std::vector<float> specialInputs() {
    const float lim = std::numeric_limits<float>::max();
    std::vector<float> xs = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, -NAN, fromBits(0x7f800001u),
                             fromBits(0xff812345u), 0x1p-149f, -0x1p-149f, 0x1p-126f, -0x1p-126f,
                             0x1.fffffcp-127f, -0x1.fffffcp-127f, lim, -lim, 1.0f, -1.0f, 0.5f, -0.5f};
    // exp: overflow at 88.7228…, subnormal results below −87.336…, zero below
    // −103.972…; exp rounds to 1 near |x| ~ 2^-25. tanh: 1 above 9.0109…,
    // tanh x = x below about 2^-12.
    for (float t : {88.72283935546875f, -87.33654022216797f, -103.97208404541016f, -103.27892303466797f,
                    0x1p-24f, -0x1p-25f, 0x1p-25f, -0x1p-26f, 9.010913848876953f, 0x1p-12f, 0x1p-11f}) {
        for (int d = -3; d <= 3; ++d) {
            xs.push_back(fromBits(bits(t) + d));
            xs.push_back(-fromBits(bits(t) + d));
        }
    }
    return xs;
}

TEST(Math, SpecialValuesAndThresholds) {
    std::vector<float> xs = specialInputs();
    expectCorrectlyRounded(Fn::exp, xs);
    expectCorrectlyRounded(Fn::tanh, xs);
    EXPECT_EQ(bits(m::exp(0.0f)), bits(1.0f));
    EXPECT_EQ(bits(m::exp(-0.0f)), bits(1.0f));
    EXPECT_EQ(bits(m::exp(-INFINITY)), bits(0.0f));
    EXPECT_EQ(m::exp(INFINITY), INFINITY);
    EXPECT_EQ(bits(m::tanh(-0.0f)), bits(-0.0f));
    EXPECT_EQ(bits(m::tanh(0.0f)), bits(0.0f));
    EXPECT_EQ(m::tanh(INFINITY), 1.0f);
    EXPECT_EQ(m::tanh(-INFINITY), -1.0f);
    // NaN: quieted, sign and payload kept.
    EXPECT_EQ(bits(m::exp(fromBits(0xff812345u))), 0xffc12345u);
    EXPECT_EQ(bits(m::tanh(fromBits(0x7f800001u))), 0x7fc00001u);
}

TEST(Math, ActivationExamples) {
    // elu(−1e-5) with alpha 1: exp rounded, then minus 1.
    EXPECT_EQ(m::exp(-1.0e-5f) - 1.0f, -1.00135803e-5f);
    // sigmoid: 1 / (1 + exp(−x)).
    EXPECT_EQ(bits(1.0f / (1.0f + m::exp(100.0f))), bits(0.0f));
    EXPECT_EQ(1.0f / (1.0f + m::exp(-0.0f)), 0.5f);
    EXPECT_EQ(1.0f / (1.0f + m::exp(-INFINITY)), 1.0f);
}

TEST(Math, ExceptionTables) {
    namespace d = tolvex::math::detail;
    std::vector<float> ex, th;
    for (auto e : d::expExceptions()) ex.push_back(fromBits(e.in));
    for (auto e : d::tanhExceptions()) {
        th.push_back(fromBits(e.in));
        th.push_back(-fromBits(e.in));
    }
    EXPECT_FALSE(ex.empty());
    expectCorrectlyRounded(Fn::exp, ex);
    expectCorrectlyRounded(Fn::tanh, th);
    // Each entry is one the rounding test cannot decide; tables are sorted.
    float out;
    for (auto e : d::expExceptions()) EXPECT_FALSE(d::roundChecked(d::expApprox(fromBits(e.in)), d::kExpWiden, out));
    for (auto e : d::tanhExceptions())
        EXPECT_FALSE(d::roundChecked(d::tanhAbsApprox(fromBits(e.in)), d::kTanhWiden, out));
    auto sorted = [](auto t) {
        return std::is_sorted(t.begin(), t.end(), [](auto& a, auto& b) { return a.in < b.in; });
    };
    EXPECT_TRUE(sorted(d::expExceptions()));
    EXPECT_TRUE(sorted(d::tanhExceptions()));
}

// The sixteen-wide forms round with wider tests than the scalar path, and
// these inputs fail them (found by sweeping all 2^32): the scalar function
// finishes them. They sit between ordinary values so a vector mixes decided
// and undecided lanes, and one falls in the masked tail.
void expectUndecidedLanesFinished(Fn f, std::initializer_list<uint32_t> undecided) {
    std::vector<float> xs;
    float ordinary = -3.0f;
    for (uint32_t u : undecided) {
        xs.push_back(fromBits(u));
        for (int k = 0; k < 3; ++k, ordinary += 0.37f) xs.push_back(ordinary);
    }
    xs.push_back(fromBits(*undecided.begin()));
    expectCorrectlyRounded(f, xs);
}

TEST(Math, VectorUndecidedLanes) {
    expectUndecidedLanesFinished(Fn::exp, {0x33800000u, 0x377eff81u, 0x3c608a0eu, 0x3fa1d683u, 0x4283070fu,
                                           0xb3000000u, 0xb7c9c09fu, 0xbdb393ebu, 0xc03359cbu, 0xc2b2e798u});
    expectUndecidedLanesFinished(Fn::tanh, {0x3aac4349u, 0x3bb66b62u, 0x3cb92517u, 0x3dc19de9u, 0x3ea89ee1u,
                                            0x3f97367cu, 0x40547b68u, 0xbbb6e917u, 0xbf97fbc7u, 0xc054e4f7u});
}

// The error bounds assume correctly rounded powers of two in the tables.
TEST(Math, PowerTablesCorrectlyRounded) {
    namespace d = tolvex::math::detail;
    mpfr_t e, p, q;
    mpfr_inits2(300, e, q, static_cast<mpfr_ptr>(nullptr));
    mpfr_init2(p, 53);
    for (int j = 0; j < 64; ++j) {
        mpfr_set_ui(e, j, MPFR_RNDN);
        mpfr_div_ui(e, e, 64, MPFR_RNDN);  // exact
        mpfr_exp2(p, e, MPFR_RNDN);        // rounded once to 53 bits
        EXPECT_EQ(d::kExp2Table[j], mpfr_get_d(p, MPFR_RNDN)) << j;
        // 2^(j/64) − 1 at 300 bits, then rounded to 53: off only if it were
        // within 2^-290 of a midpoint.
        mpfr_exp2(q, e, MPFR_RNDN);
        mpfr_sub_ui(q, q, 1, MPFR_RNDN);
        EXPECT_EQ(d::kExp2m1Table[j], mpfr_get_d(q, MPFR_RNDN)) << j;
    }
    mpfr_clears(e, q, p, static_cast<mpfr_ptr>(nullptr));
}

// Two tests per function (ctest runs them side by side), kSamples each.
TEST(Math, ExpRandom) { expectCorrectlyRounded(Fn::exp, randomInputs(1, 20.0f, {88.5f, -87.5f, -103.8f})); }
TEST(Math, ExpRandomWide) { expectCorrectlyRounded(Fn::exp, randomInputs(2, 110.0f, {0.0f, -1.0f, 0.7f})); }
TEST(Math, TanhRandom) { expectCorrectlyRounded(Fn::tanh, randomInputs(3, 20.0f, {9.0f, -9.0f, 4.0f})); }
TEST(Math, TanhRandomSmall) { expectCorrectlyRounded(Fn::tanh, randomInputs(4, 1.0f, {0.0f, 0.3f, -0.6f})); }

// The array forms take any length (the vector tails are padded or masked) and work in place.
TEST(Math, ArrayFormsAnyLengthInPlace) {
    std::vector<float> xs = specialInputs();
    for (size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 33}) {
        for (Fn f : {Fn::exp, Fn::tanh}) {
            std::vector<float> buf(xs.begin(), xs.begin() + n), out(n + 1, NAN);
            out[n] = 42.0f;
            (f == Fn::exp ? m::expArray : m::tanhArray)(buf.data(), out.data(), n);
            EXPECT_EQ(out[n], 42.0f);
            for (const VectorPath& path : vectorPaths()) {
                std::vector<float> in_place(xs.begin(), xs.begin() + n + 1);
                in_place[n] = 42.0f;
                path.of(f)(in_place.data(), in_place.data(), n);
                EXPECT_EQ(in_place[n], 42.0f) << path.name;
                for (size_t i = 0; i < n; ++i) EXPECT_EQ(bits(in_place[i]), bits(out[i])) << path.name << " " << n << " " << i;
            }
        }
    }
}

}  // namespace
