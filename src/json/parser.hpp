// The JSON parser: RFC 8259 text in UTF-8, read through an io::Reader, into a
// tree in an Arena. It is iterative (an explicit stack, no recursion), so the
// nesting depth is bounded by memory alone.
#pragma once

#include <cstddef>

#include "io/io.hpp"
#include "json/arena.hpp"
#include "json/tree.hpp"
#include "base/allocator.hpp"
#include "base/error.hpp"

namespace tolvex::json {

// The longest string (after its escapes are decoded) or number text accepted.
inline constexpr size_t kMaxValueBytes = 4194304;

// Parses the whole document, up to the end of the input, and gives its
// top-level value. The tree is allocated in `arena`; the parser's own stacks
// come from `scratch` and are freed before it returns, on every path.
//
// Errors: SyntaxError (grammar, invalid UTF-8, a bad escape or an escaped
// lone surrogate, a control character in a string, anything but whitespace
// after the value), UnexpectedEndOfInput (the input ends inside the value),
// ValueTooLong, DuplicateField (a key repeated in one object), ReadFailed,
// OutOfMemory.
Result<const Value*> parseDocument(Allocator scratch, io::Reader& reader, Arena& arena);

}  // namespace tolvex::json
