// File access and buffered byte streams for the model-file formats. The
// formats read through a Reader and write through a Writer; only this module
// touches file descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include <signal.h>

#include "base/error.hpp"

namespace tolvex::io {

inline constexpr size_t kBufferSize = 4096;
// Paths of this many bytes or more fail with NameTooLong before any system call.
inline constexpr size_t kMaxPathBytes = 4096;

// Where a Reader's bytes come from.
struct ByteSource {
    void* ctx = nullptr;
    // Reads up to cap bytes into dst; 0 means the end of the source.
    Result<size_t> (*read)(void* ctx, uint8_t* dst, size_t cap) = nullptr;
    // Bytes left in the source when that is known (regular files, memory).
    std::optional<uint64_t> (*remaining)(void* ctx) = nullptr;
};

// Where a Writer's bytes go. Writes all n bytes or fails with WriteFailed.
struct ByteSink {
    void* ctx = nullptr;
    Status (*write)(void* ctx, const uint8_t* src, size_t n) = nullptr;
};

// Buffered reader over a caller-provided buffer (normally kBufferSize bytes on
// the caller's stack), or straight over bytes already in memory.
class Reader {
public:
    Reader(ByteSource source, std::span<uint8_t> buffer)
        : source_(source), buf_(buffer), data_(buffer.data()) {}
    // Reads `bytes` in place: they are the buffer, all of it filled from the
    // start, and nothing comes after them. No byte is copied until a reader
    // asks for it, and then straight into its own array.
    explicit Reader(std::span<const uint8_t> bytes) : data_(bytes.data()), end_(bytes.size()) {}

    // Fills dst with exactly n bytes: EndOfStream if the source ends first,
    // ReadFailed if a read fails.
    Status readExact(void* dst, size_t n);

    // The unconsumed buffered bytes, and consuming some of them.
    std::span<const uint8_t> buffered() const { return {data_ + start_, end_ - start_}; }
    void consume(size_t n) { start_ += n; }

    // Refills an exhausted buffer. False at the end of the source.
    Result<bool> refill();

    // Bytes still to come (buffered plus the source's rest), when known.
    std::optional<uint64_t> remaining() const;

private:
    bool inMemory() const { return source_.read == nullptr; }

    ByteSource source_;       // no read function: the bytes are all in memory
    std::span<uint8_t> buf_;  // where refills go
    const uint8_t* data_;     // the buffered bytes: buf_, or the memory itself
    size_t start_ = 0;
    size_t end_ = 0;
};

// Buffered writer over a caller-provided buffer.
class Writer {
public:
    Writer(ByteSink sink, std::span<uint8_t> buffer) : sink_(sink), buf_(buffer) {}

    // Appends n bytes: into the buffer when they fit, otherwise the buffered
    // bytes and the new ones go to the sink.
    Status write(const void* src, size_t n);
    // Room for at least n contiguous bytes (n <= buffer size), flushing first
    // if needed; commit(k) then appends the first k bytes written there.
    Result<uint8_t*> reserve(size_t n);
    void commit(size_t k) { len_ += k; }
    // Writes out everything still buffered.
    Status flush();

private:
    ByteSink sink_;
    std::span<uint8_t> buf_;
    size_t len_ = 0;
};

// Opens for reading (O_RDONLY|O_CLOEXEC|O_NOCTTY). A FIFO waits here for its
// writer; a signal that interrupts the wait gives Canceled.
Result<int> openRead(const char* path, size_t path_len);
// Opens for writing in place, creating or truncating
// (O_WRONLY|O_CREAT|O_TRUNC|O_CLOEXEC|O_NOCTTY, 0666): how targets that are
// not regular files are written. An interrupted open gives Canceled.
Result<int> createWrite(const char* path, size_t path_len);
// Closes; a failing close is ignored.
void closeFd(int fd);
// The error that a failed open's errno maps to.
Error openErrorFromErrno(int err);

ByteSource fdSource(const int* fd);
ByteSink fdSink(const int* fd);

// In-memory bytes, for tests and fuzzing.
struct MemoryCursor {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
};
ByteSource memorySource(MemoryCursor* cursor);

// A fixed-capacity byte buffer. A write that does not fit stores what does and
// fails with WriteFailed, as a full disk would, so a buffer of capacity k
// stands for a disk that fills after k bytes.
struct MemoryBuffer {
    std::span<uint8_t> bytes;
    size_t len = 0;
};
ByteSink memorySink(MemoryBuffer* buffer);

// Opens `path`, runs body(reader) over a stack buffer, closes on every path.
template <class T, class Body>
Result<T> withFileReader(const char* path, size_t path_len, Body&& body) {
    auto fd = openRead(path, path_len);
    if (!fd) return fail(fd.error());
    uint8_t buf[kBufferSize];
    Reader reader(fdSource(&*fd), buf);
    Result<T> result = body(reader);
    closeFd(*fd);
    return result;
}

// What a file writer runs: streams the content into the writer.
using WriteBody = Status (*)(void* ctx, Writer& writer);

// Writes the whole file at `path` through body(ctx, writer) over a stack
// buffer (replace.cpp). A regular file, or a path where nothing exists yet,
// is replaced in one step: the content goes to a new file in the same
// directory, is synced and renamed over the target, so the path holds the
// old file or the whole new one and never anything in between. Any other
// target (a FIFO, a device) is opened and written in place. No SIGPIPE or
// SIGXFSZ from these writes reaches the host.
Status writeFile(const char* path, size_t path_len, WriteBody body, void* ctx);

template <class Body>
Status withFileWriter(const char* path, size_t path_len, Body&& body) {
    using B = std::remove_reference_t<Body>;
    return writeFile(
        path, path_len, [](void* ctx, Writer& writer) -> Status { return (*static_cast<B*>(ctx))(writer); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// Keeps the signals that a failing write raises, SIGPIPE (a pipe or FIFO
// without reader) and SIGXFSZ (past the file-size limit), from reaching the
// host: for its lifetime they are blocked in the calling thread, so the
// write fails with EPIPE or EFBIG instead; at its end any of them that became
// pending meanwhile is taken off again and the thread's mask restored. A
// signal that was already pending before stays pending. Only the calling
// thread's mask changes; no handler is installed.
class QuietWriteSignals {
   public:
    QuietWriteSignals();
    ~QuietWriteSignals();
    QuietWriteSignals(const QuietWriteSignals&) = delete;
    QuietWriteSignals& operator=(const QuietWriteSignals&) = delete;

   private:
    sigset_t old_mask_;
    bool pipe_pending_before_ = false;
    bool xfsz_pending_before_ = false;
    bool active_ = false;
};

}  // namespace tolvex::io
