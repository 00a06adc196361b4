#include "json/json.hpp"

namespace tolvex::json {

Result<Model> loadFromReader(Allocator, io::Reader&) { return fail(Error::Unexpected); }
Status writeToWriter(const Model&, io::Writer&) { return fail(Error::Unexpected); }
Result<Model> load(Allocator, const char*, size_t) { return fail(Error::Unexpected); }
Status write(const Model&, const char*, size_t) { return fail(Error::Unexpected); }

}  // namespace tolvex::json
