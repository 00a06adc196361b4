// Writing a whole file: a regular file is replaced in one step, anything else
// (and a file that is a mount point, which cannot be renamed over) is written
// in place.
//
// Replacing. The new content goes into a new file in the target's directory,
// is synced to the device and then renamed over the target. A loader that
// opens the path meanwhile gets the old file, whole; a write that fails, or a
// process that dies, leaves the old file as it was. The new file takes the
// old one's permission bits, and its owner and group where the process may
// set them. Other hard links to the old file keep the old content.
//
// The new file is created without a name (O_TMPFILE) where the file system
// allows it, so a writer that dies during the write leaves nothing behind. It
// gets a name only once complete: a fixed hidden one beside the target,
// ".NAME.tolvex-tmp", which is renamed over the target at once. A writer
// killed between those two calls leaves that name, holding the whole new
// content, and the next write of the same path removes it. A writer holds an
// open-file-description lock on its file while it has a name, and the system
// drops such a lock when the process dies; that is how a name left by a dead
// writer is told from one a live writer is about to rename. When the fixed
// name is busy a unique one is used. Where unnamed files are not supported
// (NFS, for one) the new file has a unique hidden name from the start, which
// a writer killed during the write does leave behind.
//
// Why sync. The rename publishes the name at once, but the data can reach
// the device later than the rename does (ext4 by default starts writing the
// data out when a rename replaces a file; XFS, for one, does not); a power
// cut in between would leave an empty or partial file under the name,
// neither the old model nor the new. The cost is what writing the data to the device takes (bench/README.md
// has it for a 64 MB model). The directory is not synced: after a power cut
// the rename may be undone, but then the path holds the old model, whole.
//
// Stack only: every name is built in a fixed buffer, and the directory is
// held open, so every name used is one path component and no longer path is
// ever built.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "io/io.hpp"

namespace tolvex::io {

namespace {

// The kernel's own limit on symbolic links in one lookup.
constexpr int kMaxLinkHops = 40;
// The longest name of a directory entry on Linux file systems.
constexpr size_t kMaxName = 255;
// The f_type of /proc.
constexpr unsigned long kProcMagic = 0x9fa0;
constexpr char kTempSuffix[] = ".tolvex-tmp";
// Unique names to try before giving up with PathAlreadyExists.
constexpr int kUniqueAttempts = 64;

Error fromErrno(int err) { return err == EINTR ? Error::Canceled : openErrorFromErrno(err); }

// A descriptor closed at the end of its scope.
class Fd {
   public:
    Fd() = default;
    ~Fd() { reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) closeFd(fd_);
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

// The directory entry a write replaces: `name` in the directory `dir`.
struct Target {
    enum class Kind { missing, regular, other };
    Kind kind = Kind::other;
    Fd dir;
    char name[kMaxPathBytes];
    struct stat st;  // of the regular file
};

// Opens the directory part of path[0..len) relative to `at` and copies the
// last component into `name`.
Result<int> openParent(int at, char* path, size_t len, char* name) {
    char* slash = static_cast<char*>(::memrchr(path, '/', len));
    const char* base = slash != nullptr ? slash + 1 : path;
    size_t base_len = static_cast<size_t>(path + len - base);
    std::memcpy(name, base, base_len);
    name[base_len] = '\0';
    const char* dir = ".";
    if (slash == path) {
        dir = "/";
    } else if (slash != nullptr) {
        *slash = '\0';
        dir = path;
    }
    int fd = ::openat(at, dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(fromErrno(errno));
    return fd;
}

bool onProcfs(int dir) {
    struct statfs fs;
    return ::fstatfs(dir, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kProcMagic;
}

// A file mounted over the entry (a single bind-mounted file, as containers
// use) cannot be renamed over: the system refuses with EBUSY. Kernels before
// 5.8 do not tell; the rename then fails with DeviceBusy.
bool isMountPoint(int dir, const char* name) {
    struct statx sx;
    if (::statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0) return false;
    return (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Follows symbolic links in the last component, as opening the path would,
// to the entry that the write replaces. The links of /proc (/dev/stdout leads
// to one) stand for open files, not for directory entries, so such a path is
// written in place, as opening it would; so is a regular file that is a
// mount point. Errors: those of the open table.
Status resolve(const char* path, size_t len, Target& t) {
    char buf[kMaxPathBytes];
    std::memcpy(buf, path, len);
    buf[len] = '\0';
    for (int hops = 0;; ++hops) {
        int at = hops == 0 ? AT_FDCWD : t.dir.get();
        t.dir.reset(TOLVEX_TRY(openParent(at, buf, len, t.name)));
        if (t.name[0] == '\0') return {};  // a path ending in '/'
        if (::fstatat(t.dir.get(), t.name, &t.st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return fail(fromErrno(errno));
            t.kind = Target::Kind::missing;
            return {};
        }
        if (S_ISREG(t.st.st_mode)) {
            if (!isMountPoint(t.dir.get(), t.name)) t.kind = Target::Kind::regular;
            return {};
        }
        if (!S_ISLNK(t.st.st_mode) || onProcfs(t.dir.get())) return {};
        if (hops == kMaxLinkHops) return fail(Error::SymLinkLoop);
        ssize_t n = ::readlinkat(t.dir.get(), t.name, buf, sizeof buf);
        if (n < 0) return fail(fromErrno(errno));
        if (static_cast<size_t>(n) >= sizeof buf) return fail(Error::NameTooLong);
        len = static_cast<size_t>(n);
        buf[len] = '\0';
    }
}

// 64 bits that differ between threads, processes and calls: the thread id
// (unique on the machine), the clock, and the attempt.
uint64_t uniqueToken(int attempt) {
    timespec ts{};
    (void)::clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t x = (static_cast<uint64_t>(::gettid()) << 32) ^ static_cast<uint64_t>(ts.tv_nsec) ^
                 (static_cast<uint64_t>(ts.tv_sec) << 20) ^ (static_cast<uint64_t>(attempt) << 56);
    // splitmix64's finaliser spreads every input bit over the digits.
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

char* putHex(char* out, uint64_t v) {
    for (int i = 15; i >= 0; --i, v >>= 4) out[i] = "0123456789abcdef"[v & 15];
    return out + 16;
}

char* putText(char* out, const char* s, size_t n) {
    std::memcpy(out, s, n);
    return out + n;
}

// The fixed name beside `name`, ".NAME.tolvex-tmp". A name too long for that
// is cut, and a hash of the whole name keeps it particular to the target.
void fixedTempName(char (&out)[kMaxName + 1], const char* name) {
    size_t n = std::strlen(name);
    char* p = putText(out, ".", 1);
    if (1 + n + sizeof kTempSuffix - 1 <= kMaxName) {
        p = putText(p, name, n);
    } else {
        uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
        for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(name[i])) * 0x100000001b3ull;
        p = putText(p, name, 200);
        p = putText(p, ".", 1);
        p = putHex(p, h);
    }
    putText(p, kTempSuffix, sizeof kTempSuffix);  // with its NUL
}

// A unique name beside `name`: ".NAME.<16 hex digits>.tolvex-tmp", NAME cut to
// 64 bytes.
void uniqueTempName(char (&out)[kMaxName + 1], const char* name, int attempt) {
    size_t n = std::strlen(name);
    char* p = putText(out, ".", 1);
    p = putText(p, name, n < 64 ? n : 64);
    p = putText(p, ".", 1);
    p = putHex(p, uniqueToken(attempt));
    putText(p, kTempSuffix, sizeof kTempSuffix);  // with its NUL
}

// "/proc/self/fd/N", through which an unnamed file is given a name.
void procFdPath(char (&out)[32], int fd) {
    char digits[12];
    size_t at = sizeof digits;
    unsigned v = static_cast<unsigned>(fd);
    do {
        digits[--at] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    char* p = putText(out, "/proc/self/fd/", 14);
    p = putText(p, digits + at, sizeof digits - at);
    *p = '\0';
}

// Marks the file as being written by a live process (see the top).
void holdLock(int fd) {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    (void)::fcntl(fd, F_OFD_SETLK, &lk);
}

// The new file, open for writing; `name` is its name in the directory once
// it has one.
struct NewFile {
    Fd fd;
    bool named = false;
    char name[kMaxName + 1] = {};
};

// Creates the new file with `mode` (less the umask): unnamed where possible,
// else under a unique name. Errors: those of the open table;
// PathAlreadyExists when no unique name was free.
Status createNewFile(const Target& t, mode_t mode, NewFile& f) {
    int dir = t.dir.get();
    int fd = ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) {
        f.fd.reset(fd);
        // It can be named only through /proc; without /proc use a name.
        char proc[32];
        procFdPath(proc, fd);
        struct stat st;
        if (::fstatat(AT_FDCWD, proc, &st, AT_SYMLINK_NOFOLLOW) == 0) return {};
        f.fd.reset(-1);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        // EISDIR and EINVAL: a kernel or file system without O_TMPFILE.
        return fail(fromErrno(errno));
    }
    for (int attempt = 0; attempt < kUniqueAttempts; ++attempt) {
        uniqueTempName(f.name, t.name, attempt);
        fd = ::openat(dir, f.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
        if (fd >= 0) {
            f.fd.reset(fd);
            f.named = true;
            holdLock(fd);
            return {};
        }
        if (errno != EEXIST) return fail(fromErrno(errno));
    }
    return fail(Error::PathAlreadyExists);
}

// Gives the new file the old one's owner and group where the process may
// (root may; others only a group they belong to), and its permission bits.
// Errors: those of the open table, from setting the bits.
Status keepMetadata(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    // After the owner: a change of owner clears the set-id bits.
    if (::fchmod(fd, old.st_mode & 07777) != 0) return fail(fromErrno(errno));
    return {};
}

// Streams body's content into fd through a stack buffer and flushes it.
Status stream(int fd, WriteBody body, void* ctx) {
    uint8_t buf[kBufferSize];
    Writer writer(fdSink(&fd), buf);
    TOLVEX_CHECK(body(ctx, writer));
    return writer.flush();
}

// WriteFailed when the data could not be made durable; a file system that
// cannot sync at all (EINVAL) is taken as it is.
Status syncFile(int fd) {
    if (::fsync(fd) == 0 || errno == EINVAL) return {};
    return fail(errno == EINTR ? Error::Canceled : Error::WriteFailed);
}

// True when the fixed name was left by a writer that died before renaming it
// (no live process holds its lock) and has now been removed, or is gone.
bool removeLeftover(int dir, const char* fixed) {
    Fd fd;
    fd.reset(::openat(dir, fixed, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return errno == ENOENT;
    struct stat held, now;
    if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) return false;
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_GETLK, &lk) != 0 || lk.l_type != F_UNLCK) return false;
    // Only the file whose lock was looked at is removed.
    if (::fstatat(dir, fixed, &now, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (now.st_dev != held.st_dev || now.st_ino != held.st_ino) return false;
    return ::unlinkat(dir, fixed, 0) == 0 || errno == ENOENT;
}

// Names an unnamed file: the fixed name if it is free or a leftover, else a
// unique one. Sets f.name. Errors: those of the open table.
Status linkUnnamed(const Target& t, NewFile& f) {
    int dir = t.dir.get();
    char proc[32];
    procFdPath(proc, f.fd.get());
    holdLock(f.fd.get());
    fixedTempName(f.name, t.name);
    int r = ::linkat(AT_FDCWD, proc, dir, f.name, AT_SYMLINK_FOLLOW);
    if (r != 0 && errno == EEXIST && removeLeftover(dir, f.name))
        r = ::linkat(AT_FDCWD, proc, dir, f.name, AT_SYMLINK_FOLLOW);
    for (int attempt = 0; r != 0 && errno == EEXIST && attempt < kUniqueAttempts; ++attempt) {
        uniqueTempName(f.name, t.name, attempt);
        r = ::linkat(AT_FDCWD, proc, dir, f.name, AT_SYMLINK_FOLLOW);
    }
    if (r != 0) return fail(errno == EEXIST ? Error::PathAlreadyExists : fromErrno(errno));
    f.named = true;
    return {};
}

// The new file, complete and synced, takes the target's place.
Status publish(const Target& t, NewFile& f) {
    if (!f.named) TOLVEX_CHECK(linkUnnamed(t, f));
    if (::renameat(t.dir.get(), f.name, t.dir.get(), t.name) == 0) return {};
    return fail(fromErrno(errno));
}

Status replace(Target& t, WriteBody body, void* ctx) {
    // Replacing a file needs the right to write it, as writing into it did.
    if (t.kind == Target::Kind::regular && ::faccessat(t.dir.get(), t.name, W_OK, AT_EACCESS) != 0)
        return fail(fromErrno(errno));
    // A new file starts with no more access than the old one had.
    mode_t mode = t.kind == Target::Kind::regular ? (t.st.st_mode & 0666) : 0666;
    NewFile f;
    TOLVEX_CHECK(createNewFile(t, mode, f));
    Status s = t.kind == Target::Kind::regular ? keepMetadata(f.fd.get(), t.st) : Status{};
    if (s) s = stream(f.fd.get(), body, ctx);
    if (s) s = syncFile(f.fd.get());
    if (s) s = publish(t, f);
    // A named file that did not take the target's place goes again.
    if (!s && f.named) (void)::unlinkat(t.dir.get(), f.name, 0);
    return s;
}

}  // namespace

Status writeFile(const char* path, size_t path_len, WriteBody body, void* ctx) {
    if (path_len >= kMaxPathBytes) return fail(Error::NameTooLong);
    QuietWriteSignals quiet;
    Target t;
    TOLVEX_CHECK(resolve(path, path_len, t));
    if (t.kind != Target::Kind::other) return replace(t, body, ctx);
    // Not a regular file: written in place, as before. The descriptors of
    // the resolution are no longer needed.
    t.dir.reset(-1);
    int fd = TOLVEX_TRY(createWrite(path, path_len));
    Status s = stream(fd, body, ctx);
    closeFd(fd);
    return s;
}

}  // namespace tolvex::io
