// Float to text in plain positional notation, never with an exponent, using
// the shortest digit string that reads back as the same value (the nearest
// such string when several are equally short).
#pragma once

#include <cstddef>

namespace tolvex {

enum class FloatWidth {
    single,  // shortest digits for the float itself (the layer listing)
    widened, // shortest digits for the float widened exactly to double (JSON)
};

// Longest output: a sign, "0.", 44 zeros before the first significant digit
// of the smallest subnormal float, and at most 17 significant digits of a
// double: 1 + 2 + 44 + 17 = 64. Integers reach at most 39 digits (FLT_MAX).
inline constexpr size_t kMaxFloatText = 64;

// Writes v into out (at least kMaxFloatText bytes, not NUL-terminated) and
// returns the number of bytes written. NaN is "nan" or "-nan" (sign bit set),
// infinities "inf" and "-inf".
size_t formatFloat(char* out, float v, FloatWidth width) noexcept;

}  // namespace tolvex
