// File access and the buffered streams: open errors from real situations,
// fill-exactly reads, appends and flushes, and no descriptor left behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "io/io.hpp"

using namespace tolvex;
namespace fs = std::filesystem;

namespace {

// The error of a failed result; a success shows as a value no error has.
constexpr Error kNoError = static_cast<Error>(255);
template <class R>
Error errorOf(const R& r) {
    return r ? kNoError : r.error();
}

size_t openFds() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

class TempDir {
   public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tolvex_io_XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

Error openError(const std::string& path, bool for_writing) {
    Result<int> fd =
        for_writing ? io::createWrite(path.c_str(), path.size()) : io::openRead(path.c_str(), path.size());
    if (fd) {
        io::closeFd(*fd);
        ADD_FAILURE() << path << " opened";
        return Error::Unexpected;
    }
    return fd.error();
}

void writeFile(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// A source that hands out at most `chunk` bytes per read and records the
// capacity of every read it was asked for.
struct ChunkedSource {
    std::vector<uint8_t> bytes;
    size_t pos = 0, chunk = 1 << 30;
    bool broken = false;
    std::vector<size_t> caps;
    io::ByteSource source() {
        return {this,
                [](void* ctx, uint8_t* dst, size_t cap) -> Result<size_t> {
                    auto* s = static_cast<ChunkedSource*>(ctx);
                    s->caps.push_back(cap);
                    if (s->broken) return fail(Error::ReadFailed);
                    size_t take = std::min({cap, s->chunk, s->bytes.size() - s->pos});
                    std::memcpy(dst, s->bytes.data() + s->pos, take);
                    s->pos += take;
                    return take;
                },
                nullptr};
    }
};

std::vector<uint8_t> iota(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return v;
}

// A sink that records every write, failing once `limit` bytes have gone.
struct RecordingSink {
    std::vector<uint8_t> bytes;
    std::vector<size_t> writes;
    size_t limit = SIZE_MAX;
    io::ByteSink sink() {
        return {this, [](void* ctx, const uint8_t* src, size_t n) -> Status {
                    auto* s = static_cast<RecordingSink*>(ctx);
                    s->writes.push_back(n);
                    if (s->bytes.size() + n > s->limit) return fail(Error::WriteFailed);
                    s->bytes.insert(s->bytes.end(), src, src + n);
                    return {};
                }};
    }
};

}  // namespace

TEST(OpenErrors, MissingFileAndMissingDirectory) {
    TempDir dir;
    EXPECT_EQ(openError(dir / "absent", false), Error::FileNotFound);
    EXPECT_EQ(openError(dir / "no/such/dir/file", false), Error::FileNotFound);
    EXPECT_EQ(openError(dir / "no/such/dir/file", true), Error::FileNotFound);
    EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST(OpenErrors, DirectoryOpensForReadingButNotForWriting) {
    TempDir dir;
    EXPECT_EQ(openError(dir.path(), true), Error::IsDir);
    // Reading opens it; the first read then fails.
    Result<int> fd = io::openRead(dir.path().c_str(), dir.path().size());
    ASSERT_TRUE(fd.has_value());
    uint8_t buf[16], out[4];
    io::Reader r(io::fdSource(&*fd), buf);
    EXPECT_EQ(errorOf(r.readExact(out, 4)), Error::ReadFailed);
    io::closeFd(*fd);
}

TEST(OpenErrors, OtherSituationsTheSystemReports) {
    TempDir dir;
    writeFile(dir / "plain", "x");
    EXPECT_EQ(openError(dir / "plain/below", false), Error::NotDir);
    EXPECT_EQ(openError(dir / "plain/below", true), Error::NotDir);
    fs::create_symlink(dir / "loop_b", dir / "loop_a");
    fs::create_symlink(dir / "loop_a", dir / "loop_b");
    EXPECT_EQ(openError(dir / "loop_a", false), Error::SymLinkLoop);
    // A single component longer than the file system allows.
    EXPECT_EQ(openError(dir / std::string(300, 'n'), true), Error::NameTooLong);
    // A socket's name cannot be opened as a file.
    std::string sock_path = dir / "sock";
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(openError(sock_path, false), Error::NoDevice);
    close(s);
}

TEST(OpenErrors, ErrnoTable) {
    const std::pair<int, Error> table[] = {
        {EPERM, Error::PermissionDenied},
        {ENOENT, Error::FileNotFound},
        {ESRCH, Error::FileNotFound},
        {ENXIO, Error::NoDevice},
        {ENODEV, Error::NoDevice},
        {EAGAIN, Error::WouldBlock},
        {ENOMEM, Error::SystemResources},
        {EACCES, Error::AccessDenied},
        {EBUSY, Error::DeviceBusy},
        {EEXIST, Error::PathAlreadyExists},
        {ENOTDIR, Error::NotDir},
        {EISDIR, Error::IsDir},
        {EINVAL, Error::BadPathName},
        {EILSEQ, Error::BadPathName},
        {ENFILE, Error::SystemFdQuotaExceeded},
        {EMFILE, Error::ProcessFdQuotaExceeded},
        {ETXTBSY, Error::FileBusy},
        {EFBIG, Error::FileTooBig},
        {EOVERFLOW, Error::FileTooBig},
        {ENOSPC, Error::NoSpaceLeft},
        {EROFS, Error::ReadOnlyFileSystem},
        {ENAMETOOLONG, Error::NameTooLong},
        {ELOOP, Error::SymLinkLoop},
        {EOPNOTSUPP, Error::FileLocksUnsupported},
        {EIO, Error::Unexpected},
        {EINTR, Error::Unexpected},
    };
    for (auto [err, expected] : table) EXPECT_EQ(io::openErrorFromErrno(err), expected) << err;
}

TEST(OpenErrors, PathLimitComesBeforeAnySystemCall) {
    TempDir dir;
    writeFile(dir / "f", "abc");
    // Runs of slashes keep the path valid at any length.
    auto pathOfLength = [&](size_t n) {
        std::string p = dir.path() + "/";
        return p + std::string(n - p.size() - 1, '/') + "f";
    };
    std::string p4095 = pathOfLength(4095), p4096 = pathOfLength(4096);
    ASSERT_EQ(p4095.size(), 4095u);
    Result<int> fd = io::openRead(p4095.c_str(), p4095.size());
    ASSERT_TRUE(fd.has_value());
    io::closeFd(*fd);

    for (bool writing : {false, true}) {
        errno = 12345;  // a failing system call would overwrite it
        EXPECT_EQ(openError(p4096, writing), Error::NameTooLong);
        EXPECT_EQ(errno, 12345);
    }
}

namespace {
void onSignal(int) {}
}  // namespace

// Opens the FIFO for reading on a thread while SIGUSR1, handled with
// `flags`, hits that thread a few times; then a writer comes. A writer that
// does not block is used, so a reader that is no longer waiting cannot hang
// the test.
Result<int> openFifoUnderSignals(const std::string& fifo, int flags) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags;
    EXPECT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<bool> done{false};
    Result<int> fd = fail(Error::Unexpected);
    std::thread reader([&] {
        fd = io::openRead(fifo.c_str(), fifo.size());
        done = true;
    });
    pthread_t h = reader.native_handle();
    for (int i = 0; i < 5 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pthread_kill(h, SIGUSR1);
    }
    // The reader either gave up (no writer needed) or is waiting for one.
    for (int i = 0; i < 50 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    reader.join();
    if (w >= 0) ::close(w);
    sigaction(SIGUSR1, &old, nullptr);
    return fd;
}

TEST(OpenErrors, InterruptedOpenIsCanceled) {
    // Opening a FIFO for reading waits for a writer. A handler installed
    // without SA_RESTART asks for such waits to be broken off.
    TempDir dir;
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Result<int> fd = openFifoUnderSignals(fifo, 0);
    if (fd) io::closeFd(*fd);
    EXPECT_EQ(errorOf(fd), Error::Canceled);
}

TEST(OpenErrors, RestartedOpenWaitsForTheWriter) {
    TempDir dir;
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Result<int> fd = openFifoUnderSignals(fifo, SA_RESTART);
    ASSERT_TRUE(fd.has_value()) << static_cast<int>(fd.error());
    io::closeFd(*fd);
}

TEST(Reader, FillsExactlyAcrossRefills) {
    ChunkedSource src;
    src.bytes = iota(100);
    src.chunk = 3;
    uint8_t buf[8];
    io::Reader r(src.source(), buf);
    std::vector<uint8_t> got(100);
    size_t at = 0;
    for (size_t n : {1, 0, 7, 8, 9, 2, 40, 33}) {
        ASSERT_TRUE(r.readExact(got.data() + at, n).has_value()) << n;
        at += n;
    }
    EXPECT_EQ(got, src.bytes);
    uint8_t one;
    EXPECT_EQ(errorOf(r.readExact(&one, 1)), Error::EndOfStream);
}

TEST(Reader, ShortSourceGivesEndOfStreamAndFailingReadGivesReadFailed) {
    ChunkedSource src;
    src.bytes = iota(10);
    uint8_t buf[4];
    io::Reader r(src.source(), buf);
    uint8_t out[16];
    ASSERT_TRUE(r.readExact(out, 6).has_value());
    EXPECT_EQ(errorOf(r.readExact(out, 5)), Error::EndOfStream);

    ChunkedSource bad;
    bad.bytes = iota(10);
    bad.broken = true;
    io::Reader r2(bad.source(), buf);
    EXPECT_EQ(errorOf(r2.readExact(out, 1)), Error::ReadFailed);
    EXPECT_EQ(errorOf(r2.readExact(out, 16)), Error::ReadFailed);
}

TEST(Reader, LargeReadsGoStraightIntoTheCallersArray) {
    ChunkedSource src;
    src.bytes = iota(10000);
    uint8_t buf[64];
    io::Reader r(src.source(), buf);
    std::vector<uint8_t> got(10000);
    ASSERT_TRUE(r.readExact(got.data(), 10).has_value());  // one refill of 64
    ASSERT_TRUE(r.readExact(got.data() + 10, 9990).has_value());
    EXPECT_EQ(got, src.bytes);
    // The buffered 54 bytes are used first, then one read of the rest.
    ASSERT_EQ(src.caps.size(), 2u);
    EXPECT_EQ(src.caps[0], 64u);
    EXPECT_EQ(src.caps[1], 10000u - 64u);
}

// A reader over bytes in memory reads them in place: they are all buffered
// from the start, the only error is their end, and reads of any size come
// straight from them.
TEST(Reader, OverMemoryReadsInPlace) {
    std::vector<uint8_t> bytes = iota(10000);
    io::Reader r{std::span<const uint8_t>(bytes)};
    EXPECT_EQ(r.buffered().data(), bytes.data());
    EXPECT_EQ(r.buffered().size(), 10000u);
    EXPECT_EQ(r.remaining(), 10000u);
    std::vector<uint8_t> got(10000);
    ASSERT_TRUE(r.readExact(got.data(), 3).has_value());
    ASSERT_TRUE(r.readExact(got.data() + 3, 9000).has_value());
    EXPECT_EQ(r.buffered().data(), bytes.data() + 9003);
    EXPECT_EQ(r.remaining(), 997u);
    r.consume(7);
    EXPECT_EQ(errorOf(r.readExact(got.data(), 991)), Error::EndOfStream);
    // A refill finds nothing more; what was left counts as read.
    io::Reader again{std::span<const uint8_t>(bytes.data(), 5)};
    auto more = again.refill();
    ASSERT_TRUE(more.has_value());
    EXPECT_FALSE(*more);
    EXPECT_TRUE(again.buffered().empty());
    EXPECT_EQ(again.remaining(), 0u);
    EXPECT_EQ(errorOf(again.readExact(got.data(), 1)), Error::EndOfStream);
    // No bytes at all, from a null pointer.
    io::Reader none(std::span<const uint8_t>{});
    EXPECT_EQ(errorOf(none.readExact(got.data(), 1)), Error::EndOfStream);
    EXPECT_TRUE(none.readExact(got.data(), 0).has_value());
}

TEST(Reader, RemainingCountsBufferedAndUnreadBytes) {
    std::vector<uint8_t> bytes = iota(1000);
    io::MemoryCursor cur{bytes};
    uint8_t buf[64], out[100];
    io::Reader mem(io::memorySource(&cur), buf);
    EXPECT_EQ(mem.remaining(), 1000u);
    ASSERT_TRUE(mem.readExact(out, 10).has_value());
    EXPECT_EQ(mem.remaining(), 990u);

    TempDir dir;
    writeFile(dir / "f", std::string(5000, 'z'));
    std::string path = dir / "f";
    Result<int> fd = io::openRead(path.c_str(), path.size());
    ASSERT_TRUE(fd.has_value());
    io::Reader file(io::fdSource(&*fd), buf);
    ASSERT_TRUE(file.readExact(out, 100).has_value());
    EXPECT_EQ(file.remaining(), 4900u);
    io::closeFd(*fd);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    io::Reader piped(io::fdSource(&p[0]), buf);
    EXPECT_FALSE(piped.remaining().has_value());
    close(p[0]);
    close(p[1]);
}

TEST(Writer, AppendsIntoTheBufferUntilFlushed) {
    RecordingSink sink;
    uint8_t buf[16];
    io::Writer w(sink.sink(), buf);
    std::vector<uint8_t> data = iota(100);
    ASSERT_TRUE(w.write(data.data(), 10).has_value());
    ASSERT_TRUE(w.write(data.data() + 10, 6).has_value());
    EXPECT_TRUE(sink.writes.empty());  // exactly full, nothing written yet
    ASSERT_TRUE(w.write(data.data() + 16, 1).has_value());
    EXPECT_EQ(sink.writes, (std::vector<size_t>{16}));
    // Too big for the buffer: buffered bytes first, then the new ones.
    ASSERT_TRUE(w.write(data.data() + 17, 40).has_value());
    EXPECT_EQ(sink.writes, (std::vector<size_t>{16, 1, 40}));
    ASSERT_TRUE(w.write(data.data() + 57, 43).has_value());
    ASSERT_TRUE(w.flush().has_value());
    ASSERT_TRUE(w.flush().has_value());
    EXPECT_EQ(sink.bytes, data);
}

TEST(Writer, FailuresAreWriteFailed) {
    RecordingSink sink;
    sink.limit = 20;
    uint8_t buf[16];
    io::Writer w(sink.sink(), buf);
    std::vector<uint8_t> data = iota(64);
    ASSERT_TRUE(w.write(data.data(), 16).has_value());
    ASSERT_TRUE(w.write(data.data(), 4).has_value());  // flushes the first 16
    ASSERT_TRUE(w.write(data.data(), 8).has_value());
    EXPECT_EQ(errorOf(w.flush()), Error::WriteFailed);
}

TEST(Writer, DevFullGivesWriteFailed) {
    Status s = io::withFileWriter("/dev/full", 9, [](io::Writer& w) { return w.write("tvxf", 4); });
    EXPECT_EQ(errorOf(s), Error::WriteFailed);
    std::vector<uint8_t> big(100000);
    s = io::withFileWriter("/dev/full", 9, [&](io::Writer& w) { return w.write(big.data(), big.size()); });
    EXPECT_EQ(errorOf(s), Error::WriteFailed);
}

TEST(FileStreams, NoDescriptorStaysOpen) {
    TempDir dir;
    std::string path = dir / "data";
    size_t before = openFds();
    std::vector<uint8_t> data = iota(9000);
    Status s = io::withFileWriter(path.c_str(), path.size(),
                                  [&](io::Writer& w) { return w.write(data.data(), data.size()); });
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(fs::file_size(path), 9000u);
    auto r = io::withFileReader<std::vector<uint8_t>>(path.c_str(), path.size(),
                                                      [](io::Reader& rd) -> Result<std::vector<uint8_t>> {
                                                          std::vector<uint8_t> got(9000);
                                                          TOLVEX_CHECK(rd.readExact(got.data(), got.size()));
                                                          return got;
                                                      });
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, data);
    auto bad = io::withFileReader<int>(path.c_str(), path.size(), [](io::Reader& rd) -> Result<int> {
        uint8_t big[10000];
        TOLVEX_CHECK(rd.readExact(big, sizeof big));
        return 0;
    });
    EXPECT_EQ(errorOf(bad), Error::EndOfStream);
    s = io::withFileWriter(path.c_str(), path.size(),
                           [](io::Writer&) -> Status { return fail(Error::WriteFailed); });
    EXPECT_EQ(errorOf(s), Error::WriteFailed);
    EXPECT_EQ(fs::file_size(path), 9000u);  // a failed write leaves the old file as it was
    EXPECT_EQ(openError(dir / "absent", false), Error::FileNotFound);
    EXPECT_EQ(openFds(), before);
}
