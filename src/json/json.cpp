#include "json/json.hpp"

namespace tolvex::json {

Result<Model> load(Allocator allocator, const char* path, size_t path_len, Packing packing) {
    return io::withFileReader<Model>(
        path, path_len, [&](io::Reader& reader) { return loadFromReader(allocator, reader, packing); });
}

Result<Model> loadMemory(Allocator allocator, std::span<const uint8_t> bytes, Packing packing) {
    io::Reader reader(bytes);
    return loadFromReader(allocator, reader, packing);
}

Status write(const Model& model, const char* path, size_t path_len) {
    return io::withFileWriter(path, path_len, [&](io::Writer& writer) { return writeToWriter(model, writer); });
}

}  // namespace tolvex::json
