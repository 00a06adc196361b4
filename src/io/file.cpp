#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/io.hpp"

namespace tolvex::io {

Error openErrorFromErrno(int err) {
    switch (err) {
        case EPERM: return Error::PermissionDenied;
        case ENOENT:
        case ESRCH: return Error::FileNotFound;
        case ENXIO:
        case ENODEV: return Error::NoDevice;
        case EAGAIN: return Error::WouldBlock;
        case ENOMEM: return Error::SystemResources;
        case EACCES: return Error::AccessDenied;
        case EBUSY: return Error::DeviceBusy;
        case EEXIST: return Error::PathAlreadyExists;
        case ENOTDIR: return Error::NotDir;
        case EISDIR: return Error::IsDir;
        case EINVAL:
        case EILSEQ: return Error::BadPathName;
        case ENFILE: return Error::SystemFdQuotaExceeded;
        case EMFILE: return Error::ProcessFdQuotaExceeded;
        case ETXTBSY: return Error::FileBusy;
        case EFBIG:
        case EOVERFLOW: return Error::FileTooBig;
        case ENOSPC: return Error::NoSpaceLeft;
        case EROFS: return Error::ReadOnlyFileSystem;
        case ENAMETOOLONG: return Error::NameTooLong;
        case ELOOP: return Error::SymLinkLoop;
        case EOPNOTSUPP: return Error::FileLocksUnsupported;
        default: return Error::Unexpected;
    }
}

namespace {

// EINTR reaches these calls only when they block (a FIFO waiting for its
// other end, a pipe waiting for data or room) and a signal arrives whose
// handler the host installed without SA_RESTART: the host asked for the
// wait to be broken off, so the call ends with Canceled instead of waiting
// on. Handlers with SA_RESTART never show EINTR; the system restarts the call.

Result<int> openWithFlags(const char* path, size_t path_len, int flags) {
    if (path_len >= kMaxPathBytes) return fail(Error::NameTooLong);
    // The path is measured up to its first NUL, so it is already terminated.
    int fd = ::openat(AT_FDCWD, path, flags, 0666);
    if (fd >= 0) return fd;
    if (errno == EINTR) return fail(Error::Canceled);
    return fail(openErrorFromErrno(errno));
}

Result<size_t> fdRead(void* ctx, uint8_t* dst, size_t cap) {
    int fd = *static_cast<const int*>(ctx);
    ssize_t got = ::read(fd, dst, cap);
    if (got >= 0) return static_cast<size_t>(got);
    return fail(errno == EINTR ? Error::Canceled : Error::ReadFailed);
}

std::optional<uint64_t> fdRemaining(void* ctx) {
    int fd = *static_cast<const int*>(ctx);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos < 0 || pos > st.st_size) return std::nullopt;
    return static_cast<uint64_t>(st.st_size - pos);
}

Status fdWrite(void* ctx, const uint8_t* src, size_t n) {
    int fd = *static_cast<const int*>(ctx);
    while (n > 0) {
        ssize_t put = ::write(fd, src, n);
        if (put < 0) return fail(errno == EINTR ? Error::Canceled : Error::WriteFailed);
        if (put == 0) return fail(Error::WriteFailed);
        src += put;
        n -= static_cast<size_t>(put);
    }
    return {};
}

}  // namespace

Result<int> openRead(const char* path, size_t path_len) {
    return openWithFlags(path, path_len, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_LARGEFILE);
}

Result<int> createWrite(const char* path, size_t path_len) {
    return openWithFlags(path, path_len, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_LARGEFILE);
}

void closeFd(int fd) { (void)::close(fd); }

ByteSource fdSource(const int* fd) { return {const_cast<int*>(fd), fdRead, fdRemaining}; }

ByteSink fdSink(const int* fd) { return {const_cast<int*>(fd), fdWrite}; }

}  // namespace tolvex::io
