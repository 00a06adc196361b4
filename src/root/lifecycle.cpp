// tolvex_init / tolvex_deinit and the library-wide allocator.
//
// The allocator serves blocks from the C library's allocator, which is
// thread-safe: malloc for the 4- and 8-byte alignments of arrays and records,
// posix_memalign for the 64 bytes of packed weights. It keeps no per-block
// records, so initialisation and teardown only switch it on and off.
#include <cstdlib>

#include "root/root.hpp"

namespace tolvex {

namespace {

void* systemAlloc(void*, size_t len, size_t align) {
    if (align <= alignof(std::max_align_t)) return std::malloc(len);
    void* p = nullptr;
    return posix_memalign(&p, align, len) == 0 ? p : nullptr;
}

bool systemResize(void*, void*, size_t old_len, size_t, size_t new_len) {
    // Shrinking in place is always possible; growing needs a new block.
    return new_len <= old_len;
}

void systemFree(void*, void* p, size_t, size_t) { std::free(p); }

constexpr AllocatorVTable kSystemVTable{systemAlloc, systemResize, systemFree};

bool g_present = false;
const Allocator* g_backing = nullptr;

}  // namespace

Allocator cAllocator() {
    if (g_backing != nullptr) return *g_backing;
    return Allocator{nullptr, &kSystemVTable};
}

void setCAllocatorBackingForTesting(const Allocator* backing) { g_backing = backing; }

}  // namespace tolvex

extern "C" {

TOLVEX_API void tolvex_init(void) { tolvex::g_present = true; }

TOLVEX_API tolvex_result tolvex_deinit(void) {
    tolvex::g_present = false;
    return tolvex_Success;
}

}
