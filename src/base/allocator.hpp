// The allocator interface that every array of the library goes through.
// Frees are sized: a block is freed with the exact length and alignment it was
// allocated with. Zero-length arrays are never allocated: allocArray(0) gives
// an empty slice and freeArray of an empty slice does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "base/error.hpp"

namespace tolvex {

struct AllocatorVTable {
    // Returns nullptr when the block cannot be had. len > 0.
    void* (*alloc)(void* ctx, size_t len, size_t align);
    // Grows or shrinks a block in place; false when it cannot.
    bool (*resize)(void* ctx, void* ptr, size_t old_len, size_t align, size_t new_len);
    void (*free)(void* ctx, void* ptr, size_t len, size_t align);
};

// A pointer and an element count.
template <class T>
struct Slice {
    T* ptr = nullptr;
    size_t len = 0;

    T& operator[](size_t i) const { return ptr[i]; }
    T* begin() const { return ptr; }
    T* end() const { return ptr + len; }
    bool empty() const { return len == 0; }
};

struct Allocator {
    void* ctx = nullptr;
    const AllocatorVTable* vtable = nullptr;

    void* rawAlloc(size_t len, size_t align) const { return vtable->alloc(ctx, len, align); }
    bool rawResize(void* p, size_t old_len, size_t align, size_t new_len) const {
        return vtable->resize(ctx, p, old_len, align, new_len);
    }
    void rawFree(const void* p, size_t len, size_t align) const {
        vtable->free(ctx, const_cast<void*>(p), len, align);
    }

    // Records (Model, ModelDefinition) and record arrays use 8-byte alignment,
    // float arrays 4-byte alignment: alignof of the element type either way.
    template <class T>
    Result<T*> create() const {
        void* p = rawAlloc(sizeof(T), alignof(T));
        if (p == nullptr) return fail(Error::OutOfMemory);
        return new (p) T{};
    }
    template <class T>
    void destroy(T* p) const {
        if (p != nullptr) rawFree(p, sizeof(T), alignof(T));
    }

    template <class T>
    Result<Slice<T>> allocArray(size_t n) const {
        if (n == 0) return Slice<T>{};
        if (n > std::numeric_limits<size_t>::max() / sizeof(T)) return fail(Error::OutOfMemory);
        void* p = rawAlloc(n * sizeof(T), alignof(T));
        if (p == nullptr) return fail(Error::OutOfMemory);
        return Slice<T>{static_cast<T*>(p), n};
    }
    template <class T>
    void freeArray(const T* p, size_t n) const {
        if (n != 0) rawFree(p, n * sizeof(T), alignof(T));
    }
    template <class T>
    void freeArray(Slice<T> s) const {
        freeArray(s.ptr, s.len);
    }
};

}  // namespace tolvex
