// How the writers put a file in place: a regular file (or a path where
// nothing exists) is replaced in one step, so the path only ever holds the
// old file or the whole new one, keeps its permission bits and is reached
// through symbolic links; nothing else is left in the directory, whether the
// write succeeds, fails or is killed; other targets are written in place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "io/io.hpp"
#include "support/file_helpers.hpp"

using namespace tolvex;
using namespace tolvex::testing;

namespace {

class FileReplace : public ::testing::Test {
   protected:
    void SetUp() override { tolvex_init(); }
    void TearDown() override { tolvex_deinit(); }
};

using Names = std::vector<std::string>;

const char* nameFor(bool json) { return json ? "m.json" : "m.tvxf"; }

tolvex_result writeModel(const tolvex_model* m, const std::string& path, bool json) {
    return json ? tolvex_write_json(m, path.c_str()) : tolvex_write_tvxf(m, path.c_str());
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

std::string linkText(const std::string& path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string("(not a link)") : std::string(buf, static_cast<size_t>(n));
}

// The file's name for the two system calls between naming a finished new
// file and renaming it over the target.
std::string fixedTempName(const std::string& name) { return "." + name + ".tolvex-tmp"; }

// A model to write and its two encodings.
struct Sample {
    tolvex_model* model;
    std::string bytes[2];  // tvxf, json
    explicit Sample(float v, uint32_t n = 8) : model(uniformModel(n, v)) {
        bytes[0] = encoding(model, false);
        bytes[1] = encoding(model, true);
    }
    ~Sample() { tolvex_free_model(model); }
    const std::string& of(bool json) const { return bytes[json]; }
};

}  // namespace

TEST_F(FileReplace, NewFileGetsModeFromTheUmaskAndNothingElseAppears) {
    ScratchDir dir;
    Sample s(1.0f);
    mode_t saved = ::umask(027);
    for (bool json : {false, true}) {
        std::string path = dir / nameFor(json);
        ASSERT_EQ(writeModel(s.model, path, json), tolvex_Success);
        EXPECT_EQ(modeOf(path), 0640u);
        EXPECT_EQ(readWholeFile(path), s.of(json));
    }
    ::umask(saved);
    EXPECT_EQ(dirEntries(dir.path()), (Names{"m.json", "m.tvxf"}));
}

TEST_F(FileReplace, ExistingFileIsReplacedWholeAndKeepsItsPermissionBits) {
    ScratchDir dir;
    Sample s(2.0f);
    // A umask that would take every bit away: the bits come from the old file.
    mode_t saved = ::umask(077);
    for (mode_t mode : {0600u, 0640u, 0604u, 0755u, 0666u, 0400u}) {
        for (bool json : {false, true}) {
            SCOPED_TRACE(std::to_string(mode) + (json ? " json" : " tvxf"));
            std::string path = dir / nameFor(json);
            writeWholeFile(path, std::string(100000, 'x'));  // longer than the model
            ASSERT_EQ(::chmod(path.c_str(), mode), 0);
            ino_t before = inodeOf(path);
            ASSERT_EQ(writeModel(s.model, path, json), tolvex_Success);
            EXPECT_EQ(readWholeFile(path), s.of(json));
            EXPECT_EQ(modeOf(path), mode);
            EXPECT_NE(inodeOf(path), before);  // a new file took the name
        }
    }
    ::umask(saved);
    EXPECT_EQ(dirEntries(dir.path()), (Names{"m.json", "m.tvxf"}));
}

TEST_F(FileReplace, OtherHardLinksKeepTheOldContent) {
    ScratchDir dir;
    Sample s(1.0f);
    std::string path = dir / "m.tvxf", other = dir / "backup.tvxf";
    writeWholeFile(path, "old");
    ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
    ASSERT_EQ(writeModel(s.model, path, false), tolvex_Success);
    EXPECT_EQ(readWholeFile(path), s.of(false));
    EXPECT_EQ(readWholeFile(other), "old");
}

TEST_F(FileReplace, SymbolicLinksAreFollowedAndStayLinks) {
    ScratchDir dir;
    Sample s(3.0f);
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "links").c_str(), 0755), 0);
    std::string real = dir / "sub/real.tvxf";
    writeWholeFile(real, "old");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    // A chain: an absolute link to a link whose relative text is read from
    // its own directory.
    ASSERT_EQ(::symlink("../sub/real.tvxf", (dir / "links/rel").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "links/rel").c_str(), (dir / "abs").c_str()), 0);
    ASSERT_EQ(writeModel(s.model, dir / "abs", false), tolvex_Success);
    EXPECT_EQ(readWholeFile(real), s.of(false));
    EXPECT_EQ(modeOf(real), 0640u);
    EXPECT_EQ(linkText(dir / "abs"), dir / "links/rel");
    EXPECT_EQ(linkText(dir / "links/rel"), "../sub/real.tvxf");

    // A link to nothing yet creates the file it names, as opening it would.
    ASSERT_EQ(::symlink("sub/new.json", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(writeModel(s.model, dir / "dangling", true), tolvex_Success);
    EXPECT_EQ(readWholeFile(dir / "sub/new.json"), s.of(true));
    EXPECT_EQ(linkText(dir / "dangling"), "sub/new.json");

    ASSERT_EQ(::symlink("loop_b", (dir / "loop_a").c_str()), 0);
    ASSERT_EQ(::symlink("loop_a", (dir / "loop_b").c_str()), 0);
    EXPECT_EQ(writeModel(s.model, dir / "loop_a", false), tolvex_SymLinkLoop);

    EXPECT_EQ(dirEntries(dir.path()), (Names{"abs", "dangling", "links", "loop_a", "loop_b", "sub"}));
    EXPECT_EQ(dirEntries(dir / "sub"), (Names{"new.json", "real.tvxf"}));
    EXPECT_EQ(dirEntries(dir / "links"), (Names{"rel"}));
}

TEST_F(FileReplace, TargetsThatAreNotRegularFilesAreWrittenInPlace) {
    ScratchDir dir;
    Sample s(1.0f);
    for (bool json : {false, true}) {
        EXPECT_EQ(writeModel(s.model, "/dev/null", json), tolvex_Success);
        EXPECT_EQ(writeModel(s.model, "/dev/full", json), tolvex_WriteFailed);
        EXPECT_EQ(writeModel(s.model, dir.path(), json), tolvex_IsDir);
        EXPECT_EQ(writeModel(s.model, dir.path() + "/", json), tolvex_IsDir);

        // A FIFO gets the bytes through the pipe.
        std::string fifo = dir / "fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::string got;
        std::thread reader([&] { got = readWholeFile(fifo).value_or("(unreadable)"); });
        EXPECT_EQ(writeModel(s.model, fifo, json), tolvex_Success);
        reader.join();
        EXPECT_EQ(got, s.of(json));
        ::unlink(fifo.c_str());

        // A /proc link to an open regular file (/dev/stdout leads to one)
        // stands for that open file: it is written in place, not replaced.
        std::string plain = dir / "plain";
        writeWholeFile(plain, std::string(50000, 'x'));
        int fd = ::open(plain.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ino_t before = inodeOf(plain);
        EXPECT_EQ(writeModel(s.model, "/proc/self/fd/" + std::to_string(fd), json), tolvex_Success);
        EXPECT_EQ(readWholeFile(plain), s.of(json));
        EXPECT_EQ(inodeOf(plain), before);

        // /dev/stdout itself, pointed at that file.
        std::fflush(stdout);
        int saved = ::dup(1);
        ASSERT_EQ(::dup2(fd, 1), 1);
        tolvex_result r = writeModel(s.model, "/dev/stdout", json);
        ::dup2(saved, 1);
        ::close(saved);
        ::close(fd);
        EXPECT_EQ(r, tolvex_Success);
        EXPECT_EQ(readWholeFile(plain), s.of(json));
        EXPECT_EQ(inodeOf(plain), before);
        ::unlink(plain.c_str());
    }
    EXPECT_EQ(dirEntries(dir.path()), Names{});
}

// A single file bind-mounted over another, as containers mount a model into
// place, cannot be renamed over; it is written in place. The mount is made
// in a child's own mount namespace, so nothing of it outlives the test.
TEST_F(FileReplace, BindMountedFileIsWrittenInPlace) {
    ScratchDir dir;
    Sample s(2.0f);
    std::string source = dir / "source.tvxf", mounted = dir / "mounted.tvxf";
    writeWholeFile(source, "old");
    writeWholeFile(mounted, "covered");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(source.c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) != 0)
            ::_exit(77);
        ::_exit(writeModel(s.model, mounted, false) == tolvex_Success ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for this user";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readWholeFile(source), s.of(false));
    EXPECT_EQ(readWholeFile(mounted), "covered");
    EXPECT_EQ(dirEntries(dir.path()), (Names{"mounted.tvxf", "source.tvxf"}));
}

// Without /proc an unnamed file cannot be given a name; the new file is then
// written under a hidden unique name from the start. The same guarantees
// hold: whole files, kept permission bits, nothing left after a failure.
TEST_F(FileReplace, WithoutProcTheNewFileHasAUniqueNameFromTheStart) {
    ScratchDir dir;
    Sample s(2.0f);
    std::string path = dir / "m.tvxf";
    writeWholeFile(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::umount2("/proc", MNT_DETACH) != 0)
            ::_exit(77);
        int code = 0;
        Status failed = io::withFileWriter(path.c_str(), path.size(), [](io::Writer& w) -> Status {
            TOLVEX_CHECK(w.write("partial", 7));
            return fail(Error::WriteFailed);
        });
        if (failed || readWholeFile(path) != "old" || dirEntries(dir.path()) != Names{"m.tvxf"}) code |= 1;
        if (writeModel(s.model, path, false) != tolvex_Success) code |= 2;
        if (writeModel(s.model, dir / "new.json", true) != tolvex_Success) code |= 4;
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for this user";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a failed write left something, 2 and 4: a write failed";
    EXPECT_EQ(readWholeFile(path), s.of(false));
    EXPECT_EQ(modeOf(path), 0640u);
    EXPECT_EQ(readWholeFile(dir / "new.json"), s.of(true));
    EXPECT_EQ(dirEntries(dir.path()), (Names{"m.tvxf", "new.json"}));
}

TEST_F(FileReplace, FailedWriteLeavesTheOldFileAndNothingElse) {
    ScratchDir dir;
    std::string path = dir / "m.tvxf";
    writeWholeFile(path, "old");
    std::vector<uint8_t> lots(100000, 7);
    for (Error e : {Error::WriteFailed, Error::Canceled, Error::OutOfMemory}) {
        // The body fails after more than one buffer has reached the file.
        Status st = io::withFileWriter(path.c_str(), path.size(), [&](io::Writer& w) -> Status {
            TOLVEX_CHECK(w.write(lots.data(), lots.size()));
            return fail(e);
        });
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error(), e);
        EXPECT_EQ(readWholeFile(path), "old");
        std::string fresh = dir / "fresh.tvxf";
        st = io::withFileWriter(fresh.c_str(), fresh.size(), [&](io::Writer&) -> Status { return fail(e); });
        EXPECT_FALSE(st);
    }
    EXPECT_EQ(dirEntries(dir.path()), Names{"m.tvxf"});
}

TEST_F(FileReplace, PathsThatLeadNowhereCreateNothing) {
    ScratchDir dir;
    Sample s(1.0f);
    writeWholeFile(dir / "plain", "x");
    for (bool json : {false, true}) {
        EXPECT_EQ(writeModel(s.model, dir / "no/such/dir/m.tvxf", json), tolvex_FileNotFound);
        EXPECT_EQ(writeModel(s.model, dir / "plain/m.tvxf", json), tolvex_NotDir);
        EXPECT_EQ(writeModel(s.model, "", json), tolvex_FileNotFound);
        EXPECT_EQ(writeModel(s.model, dir / std::string(300, 'n'), json), tolvex_NameTooLong);
    }
    EXPECT_EQ(dirEntries(dir.path()), Names{"plain"});
}

TEST_F(FileReplace, LongPathsAndLongNamesStayWithinTheLimits) {
    ScratchDir dir;
    Sample s(1.0f);
    // 4095 bytes with the file's name at the end: the new file's name is
    // built beside it, never as a longer path.
    std::string prefix = dir.path() + "/";
    std::string p4095 = prefix + std::string(4095 - prefix.size() - 6, '/') + "m.tvxf";
    ASSERT_EQ(p4095.size(), 4095u);
    EXPECT_EQ(writeModel(s.model, p4095, false), tolvex_Success);
    EXPECT_EQ(writeModel(s.model, p4095 + "x", false), tolvex_NameTooLong);
    // A name too long to carry the fixed suffix: the fixed name is cut.
    std::string longName = std::string(250, 'a') + ".json";
    EXPECT_EQ(writeModel(s.model, dir / longName, true), tolvex_Success);
    EXPECT_EQ(readWholeFile(dir / longName), s.of(true));
    EXPECT_EQ(dirEntries(dir.path()), (Names{longName, "m.tvxf"}));
}

TEST_F(FileReplace, LeftoverOfAKilledWriterGoesWithTheNextWrite) {
    ScratchDir dir;
    Sample s(1.0f);
    for (bool json : {false, true}) {
        std::string leftover = dir / fixedTempName(nameFor(json));
        writeWholeFile(leftover, "a whole model from a writer killed before its rename");
        ASSERT_EQ(writeModel(s.model, dir / nameFor(json), json), tolvex_Success);
        EXPECT_EQ(readWholeFile(dir / nameFor(json)), s.of(json));
    }
    EXPECT_EQ(dirEntries(dir.path()), (Names{"m.json", "m.tvxf"}));
}

TEST_F(FileReplace, FixedNameOfALiveWriterIsLeftAlone) {
    ScratchDir dir;
    Sample s(1.0f);
    std::string busy = dir / fixedTempName("m.tvxf");
    writeWholeFile(busy, "held");
    // A live writer holds this lock while the name is its own.
    int fd = ::open(busy.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lk), 0);
    ASSERT_EQ(writeModel(s.model, dir / "m.tvxf", false), tolvex_Success);
    EXPECT_EQ(readWholeFile(dir / "m.tvxf"), s.of(false));
    EXPECT_EQ(readWholeFile(busy), "held");
    EXPECT_EQ(dirEntries(dir.path()), (Names{fixedTempName("m.tvxf"), "m.tvxf"}));
    // Once the lock is gone the name counts as a leftover.
    ::close(fd);
    ASSERT_EQ(writeModel(s.model, dir / "m.tvxf", false), tolvex_Success);
    EXPECT_EQ(dirEntries(dir.path()), Names{"m.tvxf"});
}

TEST_F(FileReplace, ReplacingNeedsTheRightToWriteTheFile) {
    ScratchDir dir;
    Sample s(1.0f);
    std::string ro = dir / "ro.tvxf", rw = dir / "rw.tvxf";
    writeWholeFile(ro, "old");
    writeWholeFile(rw, "old");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(rw.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    // Root may write anything; the check runs as an ordinary user then.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
        int code = 0;
        if (writeModel(s.model, ro, false) != tolvex_AccessDenied) code |= 1;
        if (writeModel(s.model, rw, false) != tolvex_Success) code |= 2;
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: read-only file replaced, 2: writable file not replaced";
    EXPECT_EQ(readWholeFile(ro), "old");
    EXPECT_EQ(readWholeFile(rw), s.of(false));
    EXPECT_EQ(modeOf(rw), 0666u);
    EXPECT_EQ(dirEntries(dir.path()), (Names{"ro.tvxf", "rw.tvxf"}));
}

// A child writes two models in turn, over and over, and is killed at random
// points. After every kill the path holds the first model, the second or
// the one before the child began, byte for byte; the directory holds nothing
// else, except the fixed name of a writer killed between naming its finished
// file and renaming it, which then holds a whole model and goes with the
// next write.
TEST_F(FileReplace, KilledWriterLeavesTheOldOrTheNewModel) {
    ScratchDir dir;
    Sample before(3.0f, 128), a(1.0f, 128), b(2.0f, 128);
    std::mt19937 rng(17);
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "tvxf");
        std::string path = dir / nameFor(json);
        ASSERT_EQ(writeModel(before.model, path, json), tolvex_Success);
        const std::string* allowed[] = {&before.of(json), &a.of(json), &b.of(json)};
        int leftovers = 0;
        for (int round = 0; round < 25; ++round) {
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                for (int i = 0;; ++i) (void)writeModel(i % 2 == 0 ? a.model : b.model, path, json);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
            ::kill(pid, SIGKILL);
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            auto got = readWholeFile(path);
            ASSERT_TRUE(got.has_value()) << "round " << round;
            bool whole = false;
            for (const std::string* m : allowed) whole = whole || *got == *m;
            ASSERT_TRUE(whole) << "round " << round << ": " << got->size() << " bytes of no model written";
            Names names = dirEntries(dir.path());
            for (const std::string& n : names) {
                if (n == "m.tvxf" || n == "m.json") continue;
                ASSERT_EQ(n, fixedTempName(nameFor(json))) << "round " << round;
                ++leftovers;
                auto left = readWholeFile(dir / n);
                EXPECT_TRUE(left == a.of(json) || left == b.of(json)) << "round " << round;
            }
        }
        ASSERT_EQ(writeModel(a.model, path, json), tolvex_Success);
        EXPECT_EQ(readWholeFile(path), a.of(json));
        std::cout << (json ? "json" : "tvxf") << ": " << leftovers << " kills between naming and renaming\n";
    }
    EXPECT_EQ(dirEntries(dir.path()), (Names{"m.json", "m.tvxf"}));
}
