#include "json/arena.hpp"

namespace tolvex::json {

namespace {

// Chunks start small so that a small document costs little, and double up to
// a size whose unused tail stays a small part of a large tree.
constexpr size_t kFirstChunk = 16 * 1024;
constexpr size_t kMaxChunk = 256 * 1024;
constexpr size_t kChunkAlign = 16;

}  // namespace

Result<void*> Arena::allocSlow(size_t n, size_t align) {
    size_t header = sizeof(Chunk);
    static_assert(sizeof(Chunk) % kChunkAlign == 0);
    if (n > SIZE_MAX - header - kChunkAlign) return fail(Error::OutOfMemory);
    size_t need = header + n + (align > kChunkAlign ? align : 0);
    if (next_size_ == 0) next_size_ = kFirstChunk;

    // A block larger than an eighth of the largest chunk gets a chunk of its
    // own, so the current chunk keeps its free space and no chunk wastes more
    // than an eighth of itself at its end.
    bool dedicated = need > kMaxChunk / 8;
    if (!dedicated) {
        while (next_size_ < need) next_size_ *= 2;
    }
    size_t size = dedicated ? need : next_size_;
    void* raw = allocator_.rawAlloc(size, kChunkAlign);
    if (raw == nullptr) return fail(Error::OutOfMemory);
    auto* chunk = static_cast<Chunk*>(raw);
    chunk->prev = head_;
    chunk->size = size;
    head_ = chunk;

    uintptr_t start = reinterpret_cast<uintptr_t>(raw) + header;
    uintptr_t p = (start + (align - 1)) & ~uintptr_t(align - 1);
    if (!dedicated) {
        cur_ = p + n;
        end_ = reinterpret_cast<uintptr_t>(raw) + size;
        if (next_size_ < kMaxChunk) next_size_ *= 2;
    }
    return reinterpret_cast<void*>(p);
}

void Arena::release() {
    while (head_ != nullptr) {
        Chunk* prev = head_->prev;
        allocator_.rawFree(head_, head_->size, kChunkAlign);
        head_ = prev;
    }
    cur_ = end_ = 0;
    next_size_ = 0;
}

}  // namespace tolvex::json
