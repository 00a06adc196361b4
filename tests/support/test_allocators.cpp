#include "support/test_allocators.hpp"

#include <cstdlib>

#include "root/root.hpp"

namespace tolvex::testing {

const AllocatorVTable CountingAllocator::kVTable{allocFn, resizeFn, freeFn};

CountingAllocator::CountingAllocator() = default;

CountingAllocator::~CountingAllocator() {
    for (auto& [p, b] : blocks_) std::free(p);
}

void* CountingAllocator::allocFn(void* ctx, size_t len, size_t align) {
    auto* self = static_cast<CountingAllocator*>(ctx);
    std::lock_guard lock(self->mu_);
    size_t n = ++self->count_;
    if (len > self->largest_request_) self->largest_request_ = len;
    if ((self->fail_from_ != 0 && n >= self->fail_from_) || (self->fail_at_ != 0 && n == self->fail_at_))
        return nullptr;
    if (self->limit_ != 0 && (self->live_bytes_ >= self->limit_ || len > self->limit_ - self->live_bytes_))
        return nullptr;
    void* p = nullptr;
    if (posix_memalign(&p, align < sizeof(void*) ? sizeof(void*) : align, len) != 0) return nullptr;
    self->blocks_[p] = Block{len, align};
    self->live_bytes_ += len;
    if (self->live_bytes_ > self->peak_bytes_) self->peak_bytes_ = self->live_bytes_;
    return p;
}

bool CountingAllocator::resizeFn(void*, void*, size_t, size_t, size_t) { return false; }

void CountingAllocator::freeFn(void* ctx, void* ptr, size_t len, size_t align) {
    auto* self = static_cast<CountingAllocator*>(ctx);
    std::lock_guard lock(self->mu_);
    auto it = self->blocks_.find(ptr);
    if (it == self->blocks_.end() || it->second.len != len || it->second.align != align) {
        ++self->bad_frees_;
        return;
    }
    self->live_bytes_ -= len;
    self->blocks_.erase(it);
    std::free(ptr);
}

size_t CountingAllocator::liveBlocks() const {
    std::lock_guard lock(mu_);
    return blocks_.size();
}
size_t CountingAllocator::liveBytes() const {
    std::lock_guard lock(mu_);
    return live_bytes_;
}
size_t CountingAllocator::peakBytes() const {
    std::lock_guard lock(mu_);
    return peak_bytes_;
}
size_t CountingAllocator::allocations() const {
    std::lock_guard lock(mu_);
    return count_;
}
size_t CountingAllocator::badFrees() const {
    std::lock_guard lock(mu_);
    return bad_frees_;
}
void CountingAllocator::failFrom(size_t k) {
    std::lock_guard lock(mu_);
    fail_from_ = k == 0 ? 0 : count_ + k;
}
void CountingAllocator::failAt(size_t k) {
    std::lock_guard lock(mu_);
    fail_at_ = k == 0 ? 0 : count_ + k;
}

void CountingAllocator::limitLiveBytes(size_t n) {
    std::lock_guard lock(mu_);
    limit_ = n;
}
size_t CountingAllocator::largestRequest() const {
    std::lock_guard lock(mu_);
    return largest_request_;
}

ScopedCAllocator::ScopedCAllocator(CountingAllocator& alloc) : a_(alloc.get()) {
    setCAllocatorBackingForTesting(&a_);
}
ScopedCAllocator::~ScopedCAllocator() { setCAllocatorBackingForTesting(nullptr); }

}  // namespace tolvex::testing
