// Scalar path of the correctly rounded exp and tanh: the shared double
// evaluation, its rounding test, and the exception tables when it fails.
#include "algorithm/math.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "algorithm/math_core.hpp"

namespace tolvex::math {
namespace {

// The correctly rounded result of an input the rounding test left undecided.
// Every such input is in the table; `fallback` (the nearest float to the
// approximation) is only a safety net.
float lookUp(std::span<const detail::RoundingException> table, uint32_t in, float fallback) {
    auto it = std::lower_bound(table.begin(), table.end(), in,
                               [](const detail::RoundingException& e, uint32_t v) { return e.in < v; });
    if (it != table.end() && it->in == in) return std::bit_cast<float>(it->out);
    return fallback;
}

// A NaN keeps its sign and payload and comes back quiet. (Arithmetic such as
// x + x would also quiet it, but some architectures return their default NaN
// instead, losing sign and payload.)
float quieted(float x) { return std::bit_cast<float>(std::bit_cast<uint32_t>(x) | 0x00400000u); }

}  // namespace

float exp(float x) {
    if (x != x) return quieted(x);
    double y = detail::expApprox(x);
    float out;
    if (detail::roundChecked(y, detail::kExpWiden, out)) return out;
    return lookUp(detail::expExceptions(), std::bit_cast<uint32_t>(x), static_cast<float>(y));
}

float tanh(float x) {
    if (x != x) return quieted(x);
    uint32_t bits = std::bit_cast<uint32_t>(x);
    uint32_t sign = bits & 0x80000000u;
    float a = std::bit_cast<float>(bits ^ sign);
    double y = detail::tanhAbsApprox(a);
    float out;
    if (!detail::roundChecked(y, detail::kTanhWiden, out))
        out = lookUp(detail::tanhExceptions(), bits ^ sign, static_cast<float>(y));
    return std::bit_cast<float>(std::bit_cast<uint32_t>(out) | sign);
}

void expArray(const float* x, float* y, size_t n) {
    for (size_t i = 0; i < n; ++i) y[i] = exp(x[i]);
}

void tanhArray(const float* x, float* y, size_t n) {
    for (size_t i = 0; i < n; ++i) y[i] = tanh(x[i]);
}

}  // namespace tolvex::math
