// The binary tvxf model file: "tvxf", input size, layer count, then one
// record per layer, every field 4 bytes in the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/assembler.hpp"
#include "common/types.hpp"
#include "io/io.hpp"
#include "base/error.hpp"

namespace tolvex::tvxf {

inline constexpr uint8_t kHeader[4] = {'t', 'v', 'x', 'f'};

// Builds a model from the stream. Besides the stream's own errors:
// HeaderMismatch, UnsupportedLayerType, WrongLayerSize, WrongNumberOfWeights,
// WeightsBiasesMismatch, OutOfMemory. Nothing stays allocated on failure, and
// nothing after the last layer record is read.
Result<Model> loadFromReader(Allocator allocator, io::Reader& reader, Packing packing = Packing::none);
// Streams the model; WriteFailed is the only error. Does not flush.
Status writeToWriter(const Model& model, io::Writer& writer);

// The same over a file: opened or created, read or written, flushed, closed.
Result<Model> load(Allocator allocator, const char* path, size_t path_len, Packing packing = Packing::none);
Status write(const Model& model, const char* path, size_t path_len);
// The same over bytes in memory, read in place: the stream's errors are
// EndOfStream alone.
Result<Model> loadMemory(Allocator allocator, std::span<const uint8_t> bytes, Packing packing = Packing::none);

// A float field is the float's bit pattern in the host's byte order.
inline float readFloat(const uint8_t* buf4) {
    float v;
    std::memcpy(&v, buf4, sizeof v);
    return v;
}
inline void writeFloat(uint8_t* buf4, float v) { std::memcpy(buf4, &v, sizeof v); }

}  // namespace tolvex::tvxf
