// Float to positional text: the listed values, and on random bit patterns the
// properties that define the notation (reads back to the same value, no
// shorter digit string does, no exponent), checked against the C library's
// correctly rounded printf/strtod rather than against std::to_chars.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "text/float_text.hpp"

using namespace tolvex;

namespace {

std::string fmt(float v, FloatWidth w) {
    char out[kMaxFloatText + 8];
    std::memset(out, '#', sizeof out);
    size_t n = formatFloat(out, v, w);
    EXPECT_LE(n, kMaxFloatText);
    return std::string(out, n);
}
std::string single(float v) { return fmt(v, FloatWidth::single); }
std::string widened(float v) { return fmt(v, FloatWidth::widened); }

float bitsToFloat(uint32_t b) { return std::bit_cast<float>(b); }

// Reads text back at the given width: as a float, or as a double that must
// be exactly the widened float.
bool readsBackAs(const std::string& text, float v, FloatWidth w) {
    if (w == FloatWidth::single) {
        float got = std::strtof(text.c_str(), nullptr);
        return std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(v);
    }
    double got = std::strtod(text.c_str(), nullptr);
    return std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(static_cast<double>(v));
}

// The significant digits of a positional text: no sign, no point, no
// leading or trailing zeros.
std::string significant(const std::string& text) {
    std::string d;
    for (char c : text)
        if (c >= '0' && c <= '9') d += c;
    size_t first = d.find_first_not_of('0');
    if (first == std::string::npos) return "";
    size_t last = d.find_last_not_of('0');
    return d.substr(first, last - first + 1);
}

// True if some decimal with `digits` significant digits reads back as v:
// tries the correctly rounded one and its two neighbours, which cover both
// ends of the (possibly lopsided) round-trip interval.
bool someDigitsRoundTrip(float v, int digits, FloatWidth w) {
    char sci[64];
    std::snprintf(sci, sizeof sci, "%.*e", digits - 1, static_cast<double>(v));
    std::string s(sci);
    size_t e = s.find('e');
    std::string mant = s.substr(0, e);
    std::string expo = s.substr(e + 1);
    bool neg = mant[0] == '-';
    std::string m;
    for (char c : mant)
        if (c >= '0' && c <= '9') m += c;
    long long base = std::stoll(m);
    int exp10 = std::stoi(expo) - (digits - 1);
    for (long long cand : {base - 1, base, base + 1}) {
        if (cand <= 0) continue;
        char t[64];
        std::snprintf(t, sizeof t, "%s%llde%d", neg ? "-" : "", cand, exp10);
        if (readsBackAs(t, v, w)) return true;
    }
    return false;
}

void checkProperties(float v, FloatWidth w) {
    std::string text = fmt(v, w);
    SCOPED_TRACE(text + " bits " + std::to_string(std::bit_cast<uint32_t>(v)));
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos);
    ASSERT_TRUE(readsBackAs(text, v, w));
    // Well formed: optional sign, digits, optional point with digits after
    // it; a fraction never ends in 0 and an integer part has no extra zeros.
    size_t p = text[0] == '-' ? 1 : 0;
    ASSERT_LT(p, text.size());
    size_t point = text.find('.');
    if (point != std::string::npos) {
        EXPECT_NE(text.back(), '0');
        EXPECT_EQ(text.find('.', point + 1), std::string::npos);
        EXPECT_GT(text.size(), point + 1);
        if (std::fabs(v) < 1) {
            EXPECT_EQ(text.substr(p, 2), "0.");
        }
    }
    if (text.size() - p > 1) {
        EXPECT_FALSE(text[p] == '0' && text[p + 1] != '.');
    }
    int k = static_cast<int>(significant(text).size());
    if (k > 1) {
        EXPECT_FALSE(someDigitsRoundTrip(v, k - 1, w)) << "a shorter string reads back";
    }
}

}  // namespace

TEST(FloatText, SingleWidthValuesOfTheListing) {
    EXPECT_EQ(single(0.5f), "0.5");
    EXPECT_EQ(single(-0.25f), "-0.25");
    EXPECT_EQ(single(1.0f), "1");
    EXPECT_EQ(single(-1.0f), "-1");
    EXPECT_EQ(single(-2.0f), "-2");
    EXPECT_EQ(single(100.0f), "100");
    EXPECT_EQ(single(100000.0f), "100000");
    EXPECT_EQ(single(0.0f), "0");
    EXPECT_EQ(single(-0.0f), "-0");
    EXPECT_EQ(single(0.01f), "0.01");
    EXPECT_EQ(single(1e-5f), "0.00001");
    EXPECT_EQ(single(2.5f), "2.5");
    EXPECT_EQ(single(-123.25f), "-123.25");
    EXPECT_EQ(single(6.0f), "6");
    EXPECT_EQ(single(-6.0f), "-6");
    EXPECT_EQ(single(0.1f), "0.1");
    EXPECT_EQ(single(16777216.0f), "16777216");
    EXPECT_EQ(single(1e10f), "10000000000");
    // Large values: shortest digits then zeros, not the exact expansion.
    EXPECT_EQ(single(3.4e38f), "340000000000000000000000000000000000000");
    EXPECT_EQ(single(std::numeric_limits<float>::max()), "340282350000000000000000000000000000000");
    EXPECT_EQ(single(bitsToFloat(1)), "0." + std::string(44, '0') + "1");
}

TEST(FloatText, WidenedValuesOfTheJsonWriter) {
    EXPECT_EQ(widened(0.5f), "0.5");
    EXPECT_EQ(widened(-0.25f), "-0.25");
    EXPECT_EQ(widened(1.0f), "1");
    EXPECT_EQ(widened(-2.0f), "-2");
    EXPECT_EQ(widened(100.0f), "100");
    EXPECT_EQ(widened(0.0f), "0");
    EXPECT_EQ(widened(-0.0f), "-0");
    EXPECT_EQ(widened(0.1f), "0.10000000149011612");
    EXPECT_EQ(widened(1e-5f), "0.000009999999747378752");
    EXPECT_EQ(widened(0.01f), "0.009999999776482582");
    EXPECT_EQ(widened(3.4e38f), "339999995214436420000000000000000000000");
    EXPECT_EQ(widened(bitsToFloat(1)), "0." + std::string(44, '0') + "1401298464324817");
}

TEST(FloatText, NanAndInfinities) {
    const float inf = std::numeric_limits<float>::infinity();
    for (FloatWidth w : {FloatWidth::single, FloatWidth::widened}) {
        EXPECT_EQ(fmt(std::numeric_limits<float>::quiet_NaN(), w), "nan");
        EXPECT_EQ(fmt(-std::numeric_limits<float>::quiet_NaN(), w), "-nan");
        EXPECT_EQ(fmt(bitsToFloat(0x7f800001u), w), "nan");  // signalling, payload 1
        EXPECT_EQ(fmt(bitsToFloat(0xffc12345u), w), "-nan");
        EXPECT_EQ(fmt(inf, w), "inf");
        EXPECT_EQ(fmt(-inf, w), "-inf");
    }
}

TEST(FloatText, LongestOutputsFitTheBound) {
    // The longest texts: negative subnormals with many digits, and -FLT_MAX.
    size_t longest = 0;
    for (uint32_t bits = 0x80000001u; bits < 0x80000400u; ++bits)
        longest = std::max(longest, widened(bitsToFloat(bits)).size());
    EXPECT_LE(longest, kMaxFloatText);
    EXPECT_GE(longest, kMaxFloatText - 1);
    EXPECT_EQ(single(-std::numeric_limits<float>::max()).size(), 40u);
}

TEST(FloatText, EdgeValuesHaveTheDefiningProperties) {
    std::vector<float> values = {std::numeric_limits<float>::min(),
                                 std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::denorm_min(),
                                 std::nextafter(1.0f, 2.0f),
                                 std::nextafter(1.0f, 0.0f),
                                 0.3f,
                                 2.0f / 3.0f,
                                 1e-7f,
                                 123456789.0f};
    for (int e = -45; e <= 38; ++e) values.push_back(std::pow(10.0f, static_cast<float>(e)));
    for (int e = -149; e <= 127; ++e) values.push_back(std::ldexp(1.0f, e));
    for (float v : values)
        for (FloatWidth w : {FloatWidth::single, FloatWidth::widened}) {
            checkProperties(v, w);
            checkProperties(-v, w);
        }
}

TEST(FloatText, RandomBitPatternsHaveTheDefiningProperties) {
    std::mt19937 rng(12345);
#ifdef TOLVEX_SANITIZED
    const int n = 20000;
#else
    const int n = 200000;
#endif
    for (int i = 0; i < n; ++i) {
        float v = bitsToFloat(static_cast<uint32_t>(rng()));
        if (!std::isfinite(v)) continue;
        checkProperties(v, FloatWidth::single);
        checkProperties(v, FloatWidth::widened);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(FloatText, ChoosesTheNearestOfTheShortest) {
    // Where several shortest strings read back, the nearest is the one given:
    // it is the correctly rounded value at that many digits.
    std::mt19937 rng(777);
    for (int i = 0; i < 20000; ++i) {
        float v = bitsToFloat(rng() & 0x7fffffffu);
        if (!std::isfinite(v) || v == 0) continue;
        for (FloatWidth w : {FloatWidth::single, FloatWidth::widened}) {
            std::string text = fmt(v, w);
            std::string sig = significant(text);
            char sci[64];
            std::snprintf(sci, sizeof sci, "%.*e", static_cast<int>(sig.size()) - 1, static_cast<double>(v));
            std::string rounded = significant(std::string(sci, std::strchr(sci, 'e')));
            if (readsBackAs(sci, v, w)) {
                EXPECT_EQ(sig, rounded) << text;
            }
        }
    }
}
