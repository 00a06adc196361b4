#include <cstring>

#include "io/io.hpp"

namespace tolvex::io {

Result<bool> Reader::refill() {
    if (inMemory()) {
        start_ = end_;
        return false;
    }
    start_ = 0;
    end_ = 0;
    size_t got = TOLVEX_TRY(source_.read(source_.ctx, buf_.data(), buf_.size()));
    end_ = got;
    return got != 0;
}

Status Reader::readExact(void* dst, size_t n) {
    auto* out = static_cast<uint8_t*>(dst);
    while (n > 0) {
        size_t have = end_ - start_;
        if (have == 0) {
            if (inMemory()) return fail(Error::EndOfStream);
            // Large requests bypass the buffer once it is empty.
            if (n >= buf_.size()) {
                size_t got = TOLVEX_TRY(source_.read(source_.ctx, out, n));
                if (got == 0) return fail(Error::EndOfStream);
                out += got;
                n -= got;
                continue;
            }
            bool more = TOLVEX_TRY(refill());
            if (!more) return fail(Error::EndOfStream);
            have = end_ - start_;
        }
        size_t take = have < n ? have : n;
        std::memcpy(out, data_ + start_, take);
        start_ += take;
        out += take;
        n -= take;
    }
    return {};
}

std::optional<uint64_t> Reader::remaining() const {
    if (inMemory()) return end_ - start_;
    if (source_.remaining == nullptr) return std::nullopt;
    auto rest = source_.remaining(source_.ctx);
    if (!rest) return std::nullopt;
    return *rest + (end_ - start_);
}

Status Writer::write(const void* src, size_t n) {
    const auto* in = static_cast<const uint8_t*>(src);
    if (n <= buf_.size() - len_) {
        std::memcpy(buf_.data() + len_, in, n);
        len_ += n;
        return {};
    }
    TOLVEX_CHECK(flush());
    if (n < buf_.size()) {
        std::memcpy(buf_.data(), in, n);
        len_ = n;
        return {};
    }
    return sink_.write(sink_.ctx, in, n);
}

Result<uint8_t*> Writer::reserve(size_t n) {
    if (n > buf_.size() - len_) TOLVEX_CHECK(flush());
    return buf_.data() + len_;
}

Status Writer::flush() {
    if (len_ == 0) return {};
    size_t n = len_;
    len_ = 0;
    return sink_.write(sink_.ctx, buf_.data(), n);
}

namespace {

Result<size_t> memoryRead(void* ctx, uint8_t* dst, size_t cap) {
    auto* c = static_cast<MemoryCursor*>(ctx);
    size_t left = c->bytes.size() - c->pos;
    size_t take = left < cap ? left : cap;
    if (take != 0) std::memcpy(dst, c->bytes.data() + c->pos, take);
    c->pos += take;
    return take;
}

std::optional<uint64_t> memoryRemaining(void* ctx) {
    auto* c = static_cast<MemoryCursor*>(ctx);
    return c->bytes.size() - c->pos;
}

Status memoryWrite(void* ctx, const uint8_t* src, size_t n) {
    auto* b = static_cast<MemoryBuffer*>(ctx);
    size_t room = b->bytes.size() - b->len;
    size_t take = room < n ? room : n;
    if (take != 0) std::memcpy(b->bytes.data() + b->len, src, take);
    b->len += take;
    if (take != n) return fail(Error::WriteFailed);
    return {};
}

}  // namespace

ByteSource memorySource(MemoryCursor* cursor) { return {cursor, memoryRead, memoryRemaining}; }

ByteSink memorySink(MemoryBuffer* buffer) { return {buffer, memoryWrite}; }

}  // namespace tolvex::io
