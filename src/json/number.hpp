// Conversion of JSON number text that the parser has already checked against
// the grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/tree.hpp"

namespace tolvex::json {

// The number as a tree node: `integer` when it has integer syntax (other
// than "-0") and fits in int64, `big_integer` when it has integer syntax and
// does not, `real` otherwise. Doubles are correctly rounded (ties to even).
Value numberValue(const char* text, size_t n, bool integral);

// The number rounded to the nearest double and that double to the nearest
// float. Sets kBeyondDouble in flags when the value lies beyond the range of
// a double (the result is then an infinity).
float numberFloat(const char* text, size_t n, bool integral, uint8_t& flags);

}  // namespace tolvex::json
