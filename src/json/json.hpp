// The JSON model file:
//   {"input_size":N,"layers":[{"type":"linear","size":S,"weight":[[...],...],"bias":[...]},...]}
// written minified with keys in a fixed order, read from any RFC 8259 text.
#pragma once

#include <cstddef>
#include <cstdint>

#include <span>

#include "common/assembler.hpp"
#include "common/types.hpp"
#include "io/io.hpp"
#include "base/error.hpp"

namespace tolvex::json {

struct Value;

// Parses the whole document, then builds the model from the tree; the tree
// is released before returning, and a failure frees every array built.
Result<Model> loadFromReader(Allocator allocator, io::Reader& reader, Packing packing = Packing::none);
Status writeToWriter(const Model& model, io::Writer& writer);

Result<Model> load(Allocator allocator, const char* path, size_t path_len, Packing packing = Packing::none);
Status write(const Model& model, const char* path, size_t path_len);
// The same over bytes in memory, read in place: no error of reading.
Result<Model> loadMemory(Allocator allocator, std::span<const uint8_t> bytes, Packing packing = Packing::none);

// The "size" of a layer object as an unsigned 64-bit count (a negative
// integer wraps, for the caller's range check). MalformedPolicyDefinition
// when the key is absent or not an integer that fits in 64 bits.
Result<uint64_t> getOutBufSizeFromJson(const Value& layer);

}  // namespace tolvex::json
