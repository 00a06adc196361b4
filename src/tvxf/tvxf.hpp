// The binary tvxf model file: "tvxf", input size, layer count, then one
// record per layer, every field 4 bytes in the host's byte order.
#pragma once

#include <cstddef>

#include "common/types.hpp"
#include "io/io.hpp"
#include "root/error.hpp"

namespace tolvex::tvxf {

Result<Model> loadFromReader(Allocator allocator, io::Reader& reader);
Status writeToWriter(const Model& model, io::Writer& writer);

Result<Model> load(Allocator allocator, const char* path, size_t path_len);
Status write(const Model& model, const char* path, size_t path_len);

}  // namespace tolvex::tvxf
