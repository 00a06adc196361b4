// Allocators for tests: one that counts live blocks and bytes (and checks that
// every free matches its allocation), and one that fails the k-th allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

#include "base/allocator.hpp"

namespace tolvex::testing {

class CountingAllocator {
public:
    CountingAllocator();
    ~CountingAllocator();

    Allocator get() { return Allocator{this, &kVTable}; }

    size_t liveBlocks() const;
    size_t liveBytes() const;
    size_t peakBytes() const;
    size_t allocations() const;
    // Frees whose length or alignment differed from the allocation, or of
    // unknown pointers.
    size_t badFrees() const;

    // Allocation number k (1-based, counted from now) and every later one
    // fail while set; 0 disables.
    void failFrom(size_t k);
    // Only allocation number k fails.
    void failAt(size_t k);
    // An allocation that would take the live bytes above n fails, like a host
    // with only that much memory; 0 removes the limit.
    void limitLiveBytes(size_t n);
    // The largest block asked for so far, granted or not.
    size_t largestRequest() const;

private:
    struct Block {
        size_t len;
        size_t align;
    };
    static void* allocFn(void* ctx, size_t len, size_t align);
    static bool resizeFn(void* ctx, void* ptr, size_t old_len, size_t align, size_t new_len);
    static void freeFn(void* ctx, void* ptr, size_t len, size_t align);
    static const AllocatorVTable kVTable;

    mutable std::mutex mu_;
    std::map<void*, Block> blocks_;
    size_t live_bytes_ = 0, peak_bytes_ = 0, count_ = 0, bad_frees_ = 0;
    size_t fail_from_ = 0, fail_at_ = 0;
    size_t limit_ = 0, largest_request_ = 0;
};

// Routes cAllocator (and so every exported function) through `alloc` for the
// scope's lifetime.
class ScopedCAllocator {
public:
    explicit ScopedCAllocator(CountingAllocator& alloc);
    ~ScopedCAllocator();

private:
    Allocator a_;
};

}  // namespace tolvex::testing
