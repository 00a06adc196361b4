#include "text/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tolvex {

namespace {

size_t put(char* out, const char* text) {
    size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return n;
}

}  // namespace

size_t formatFloat(char* out, float v, FloatWidth width) noexcept {
    if (std::isnan(v)) return put(out, std::signbit(v) ? "-nan" : "nan");
    if (std::isinf(v)) return put(out, v < 0 ? "-inf" : "inf");

    // Shortest round-trip digits in scientific form, "-d.ddde+XX".
    char sci[48];
    std::to_chars_result r = width == FloatWidth::single
                                 ? std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific)
                                 : std::to_chars(sci, sci + sizeof sci, static_cast<double>(v),
                                                 std::chars_format::scientific);
    const char* p = sci;
    const char* end = r.ptr;
    size_t n = 0;
    if (*p == '-') {
        out[n++] = '-';
        ++p;
    }
    char digits[24];
    size_t k = 0;
    while (p < end && *p != 'e') {
        if (*p != '.') digits[k++] = *p;
        ++p;
    }
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exp10);

    // The value is 0.d1d2...dk times 10^point.
    long point = exp10 + 1;
    if (point <= 0) {
        out[n++] = '0';
        out[n++] = '.';
        std::memset(out + n, '0', static_cast<size_t>(-point));
        n += static_cast<size_t>(-point);
        std::memcpy(out + n, digits, k);
        n += k;
    } else if (static_cast<size_t>(point) < k) {
        std::memcpy(out + n, digits, static_cast<size_t>(point));
        n += static_cast<size_t>(point);
        out[n++] = '.';
        std::memcpy(out + n, digits + point, k - static_cast<size_t>(point));
        n += k - static_cast<size_t>(point);
    } else {
        std::memcpy(out + n, digits, k);
        n += k;
        std::memset(out + n, '0', static_cast<size_t>(point) - k);
        n += static_cast<size_t>(point) - k;
    }
    return n;
}

}  // namespace tolvex
