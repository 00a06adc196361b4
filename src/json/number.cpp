#include "json/number.hpp"

#include <charconv>
#include <limits>

namespace tolvex::json {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Called only for text whose nearest double is out of range (zero or
// infinite although the digits say otherwise): true when it is too large.
// The decimal exponent of the first significant digit decides; it is far
// above 0 for an overflow and far below for an underflow.
bool tooLarge(const char* p, const char* end) {
    if (*p == '-') ++p;
    int64_t lead = 0;  // decimal exponent of the first nonzero digit
    bool found = false;
    int64_t int_digits = 0;
    while (p < end && isDigit(*p)) {
        if (!found && *p != '0') {
            found = true;
            lead = -int_digits;  // fixed up below with the integer length
        }
        ++int_digits;
        ++p;
    }
    if (found) lead += int_digits - 1;
    if (p < end && *p == '.') {
        ++p;
        int64_t j = 0;
        while (p < end && isDigit(*p)) {
            ++j;
            if (!found && *p != '0') {
                found = true;
                lead = -j;
            }
            ++p;
        }
    }
    int64_t exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool neg = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        while (p < end) {
            if (exp < 1'000'000'000) exp = exp * 10 + (*p - '0');
            ++p;
        }
        if (neg) exp = -exp;
    }
    return lead + exp > 0;
}

double toDouble(const char* p, size_t n, uint8_t& flags) {
    double d = 0;
    auto r = std::from_chars(p, p + n, d);
    if (r.ec == std::errc{}) return d;
    bool neg = *p == '-';
    if (tooLarge(p, p + n)) {
        flags |= kBeyondDouble;
        return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    return neg ? -0.0 : 0.0;
}

// Integers of up to 18 digits fit in int64 without a check.
bool smallInt(const char* p, size_t n, int64_t& out) {
    bool neg = *p == '-';
    size_t k = neg ? 1 : 0;
    if (n - k > 18) return false;
    int64_t v = 0;
    for (; k < n; ++k) v = v * 10 + (p[k] - '0');
    out = neg ? -v : v;
    return true;
}

}  // namespace

Value numberValue(const char* text, size_t n, bool integral) {
    Value v;
    bool minus_zero = n == 2 && text[0] == '-' && text[1] == '0';
    if (integral && !minus_zero) {
        int64_t i = 0;
        if (smallInt(text, n, i) || std::from_chars(text, text + n, i).ec == std::errc{}) {
            v.kind = Kind::integer;
            v.i = i;
            return v;
        }
        v.kind = Kind::big_integer;
    } else {
        v.kind = Kind::real;
    }
    v.d = toDouble(text, n, v.flags);
    return v;
}

float numberFloat(const char* text, size_t n, bool integral, uint8_t& flags) {
    int64_t i = 0;
    if (integral && smallInt(text, n, i)) {
        if (i == 0) return text[0] == '-' ? -0.0f : 0.0f;
        return static_cast<float>(static_cast<double>(i));
    }
    return static_cast<float>(toDouble(text, n, flags));
}

}  // namespace tolvex::json
