#include "tvxf/tvxf.hpp"

namespace tolvex::tvxf {

Result<Model> loadFromReader(Allocator, io::Reader&) { return fail(Error::Unexpected); }
Status writeToWriter(const Model&, io::Writer&) { return fail(Error::Unexpected); }
Result<Model> load(Allocator, const char*, size_t) { return fail(Error::Unexpected); }
Status write(const Model&, const char*, size_t) { return fail(Error::Unexpected); }

}  // namespace tolvex::tvxf
