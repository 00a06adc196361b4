// Memory for the parse tree: a chunked bump allocator released as a whole,
// and growable scratch arrays for the parser's stacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/allocator.hpp"
#include "base/error.hpp"

namespace tolvex::json {

// Hands out blocks from chunks taken from an Allocator. Nothing is freed on
// its own; the destructor (or release()) gives every chunk back, so a tree
// built here costs one call to free however it ends.
class Arena {
public:
    explicit Arena(Allocator allocator) : allocator_(allocator) {}
    ~Arena() { release(); }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // n > 0 bytes aligned to align (a power of two, at most 16).
    Result<void*> alloc(size_t n, size_t align);

    template <class T>
    Result<T*> allocArray(size_t n) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (n > SIZE_MAX / sizeof(T)) return fail(Error::OutOfMemory);
        void* p = TOLVEX_TRY(alloc(n * sizeof(T), alignof(T)));
        return static_cast<T*>(p);
    }

    void release();

private:
    struct Chunk {
        Chunk* prev;
        size_t size;  // bytes, this header included
    };
    Result<void*> allocSlow(size_t n, size_t align);

    Allocator allocator_;
    Chunk* head_ = nullptr;
    uintptr_t cur_ = 0;
    uintptr_t end_ = 0;
    size_t next_size_ = 0;
};

inline Result<void*> Arena::alloc(size_t n, size_t align) {
    uintptr_t p = (cur_ + (align - 1)) & ~uintptr_t(align - 1);
    if (p >= cur_ && p <= end_ && n <= end_ - p) {
        cur_ = p + n;
        return reinterpret_cast<void*>(p);
    }
    return allocSlow(n, align);
}

// A growable array of trivially copyable values whose storage comes from an
// Allocator and is freed by the destructor. Growth copies into a block twice
// the size: the allocator interface need not support resizing.
template <class T>
class GrowBuf {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit GrowBuf(Allocator allocator) : allocator_(allocator) {}
    ~GrowBuf() { allocator_.freeArray(data_, cap_); }
    GrowBuf(const GrowBuf&) = delete;
    GrowBuf& operator=(const GrowBuf&) = delete;

    size_t size() const { return len_; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    T& back() { return data_[len_ - 1]; }

    Status push(const T& v) {
        if (len_ == cap_) TOLVEX_CHECK(grow(len_ + 1));
        data_[len_++] = v;
        return {};
    }
    Status append(const T* src, size_t n) {
        if (n > cap_ - len_) TOLVEX_CHECK(grow(len_ + n));
        if (n != 0) std::memcpy(data_ + len_, src, n * sizeof(T));
        len_ += n;
        return {};
    }
    // Room for n more values at data() + size(); commit them with resize().
    Status reserveMore(size_t n) {
        if (n > cap_ - len_) TOLVEX_CHECK(grow(len_ + n));
        return {};
    }
    void resize(size_t n) { len_ = n; }  // n <= capacity
    void clear() { len_ = 0; }

private:
    Status grow(size_t need) {
        if (need < len_) return fail(Error::OutOfMemory);  // wrapped
        size_t cap = cap_ == 0 ? 64 : cap_;
        while (cap < need) {
            if (cap > SIZE_MAX / 2 / sizeof(T)) return fail(Error::OutOfMemory);
            cap *= 2;
        }
        Slice<T> bigger = TOLVEX_TRY(allocator_.allocArray<T>(cap));
        if (len_ != 0) std::memcpy(bigger.ptr, data_, len_ * sizeof(T));
        allocator_.freeArray(data_, cap_);
        data_ = bigger.ptr;
        cap_ = cap;
        return {};
    }

    Allocator allocator_;
    T* data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

}  // namespace tolvex::json
