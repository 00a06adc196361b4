#include "json/json.hpp"

namespace tolvex::json {

Result<Model> load(Allocator allocator, const char* path, size_t path_len) {
    return io::withFileReader<Model>(path, path_len,
                                     [&](io::Reader& reader) { return loadFromReader(allocator, reader); });
}

Status write(const Model& model, const char* path, size_t path_len) {
    return io::withFileWriter(path, path_len, [&](io::Writer& writer) { return writeToWriter(model, writer); });
}

}  // namespace tolvex::json
