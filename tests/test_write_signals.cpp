// Signals around the model files. No signal from a write reaches the
// process: a FIFO whose reader has gone and the file-size limit give
// WriteFailed, the thread's signal mask is as it was after every call, and a
// signal the host already had pending stays pending. FIFOs are read like
// pipes: a load waits for the writer and reads what it sends, and a signal
// handled without SA_RESTART breaks the wait off with Canceled.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/file_helpers.hpp"
#include "support/sample_models.hpp"

using namespace tolvex::testing;

namespace {

class Library : public ::testing::Test {
   protected:
    void SetUp() override { tolvex_init(); }
    void TearDown() override { tolvex_deinit(); }
};
using WriteSignals = Library;
using FifoLoad = Library;

using Load = tolvex_result (*)(tolvex_model**, const char*);

tolvex_result writeModel(const tolvex_model* m, const std::string& path, bool json) {
    return json ? tolvex_write_json(m, path.c_str()) : tolvex_write_tvxf(m, path.c_str());
}

std::vector<int> blockedSignals() {
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    std::vector<int> blocked;
    for (int s = 1; s <= SIGRTMAX; ++s)
        if (sigismember(&now, s) == 1) blocked.push_back(s);
    return blocked;
}

bool isPending(int sig) {
    sigset_t p;
    sigpending(&p);
    return sigismember(&p, sig) == 1;
}

// A model larger than a pipe holds (64 KiB), in either format, so that a
// write to a FIFO must wait for its reader.
tolvex_model* largerThanAPipe() { return uniformModel(256, 1.5f); }

// Writes into a FIFO whose reader reads a little and goes away.
tolvex_result writeToVanishingReader(const tolvex_model* m, const std::string& fifo, bool json) {
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[100];
        if (fd >= 0) {
            (void)!::read(fd, buf, sizeof buf);
            ::close(fd);
        }
    });
    tolvex_result r = writeModel(m, fifo, json);
    reader.join();
    return r;
}

// Lists the model with standard error going into a pipe whose reader is gone.
void listIntoClosedPipe(const tolvex_model* m) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    std::fflush(stderr);
    int saved = ::dup(2);
    ::dup2(p[1], 2);
    ::close(p[1]);
    tolvex_print_layers(m);
    ::dup2(saved, 2);
    ::close(saved);
    std::clearerr(stderr);
}

void onSignal(int) {}

// A SIGALRM handler installed with `flags` for the scope.
class AlarmHandler {
   public:
    explicit AlarmHandler(int flags) {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = flags;
        sigaction(SIGALRM, &sa, &old_);
    }
    ~AlarmHandler() {
        stopTimer();
        sigaction(SIGALRM, &old_, nullptr);
    }
    // SIGALRM every `usec` microseconds, as alarm() would give once.
    static void startTimer(long usec) {
        itimerval it{{0, usec}, {0, usec}};
        setitimer(ITIMER_REAL, &it, nullptr);
    }
    static void stopTimer() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }

   private:
    struct sigaction old_ {};
};

// A thread that never takes SIGALRM, so that the timer's signals reach the
// thread that loads.
template <class F>
std::thread helperThread(F f) {
    sigset_t alrm, old;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, &old);
    std::thread t(std::move(f));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

// Waits until `done` or about five seconds have passed.
void waitFor(const std::atomic<bool>& done) {
    for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

TEST_F(WriteSignals, FifoWhoseReaderLeftGivesWriteFailed) {
    ScratchDir dir;
    tolvex_model* m = largerThanAPipe();
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (bool json : {false, true}) {
        // SIGPIPE's default action would end this process here.
        EXPECT_EQ(writeToVanishingReader(m, fifo, json), tolvex_WriteFailed);
        EXPECT_FALSE(isPending(SIGPIPE));
    }
    tolvex_free_model(m);
}

TEST_F(WriteSignals, ListingIntoAPipeWithoutReaderKeepsTheProcess) {
    tolvex_model* m = uniformModel(4, 1.0f);
    listIntoClosedPipe(m);
    EXPECT_FALSE(isPending(SIGPIPE));
    tolvex_free_model(m);
}

// With the file-size limit (ulimit -f) at every length short of the whole
// file, each write fails with WriteFailed, the process lives on (SIGXFSZ
// would end it), the old file keeps its content and no other file remains.
// The limit is the whole process's, so a child of its own runs the sweep.
TEST_F(WriteSignals, FileSizeLimitAtEveryByteGivesWriteFailedAndKeepsTheOldFile) {
    ScratchDir dir;
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(report[0]);
        auto complain = [&](const std::string& what) {
            (void)!::write(report[1], what.data(), what.size());
            ::_exit(1);
        };
        rlimit open_limit{};
        ::getrlimit(RLIMIT_FSIZE, &open_limit);
        for (const ModelPlan& plan : sampleModels(4)) {
            tolvex_model_definition* def = nullptr;
            tolvex_model* net = nullptr;
            if (buildDefinition(plan, &def) != tolvex_Success || tolvex_create(&net, def) != tolvex_Success)
                complain("cannot build " + plan.name);
            tolvex_free_model_definition(def);
            for (bool json : {false, true}) {
                std::string name = json ? "m.json" : "m.tvxf", path = dir / name;
                size_t full = encoding(net, json).size();
                writeWholeFile(path, "the old model");
                for (size_t cap = 0; cap < full; ++cap) {
                    rlimit lim = open_limit;
                    lim.rlim_cur = cap;
                    ::setrlimit(RLIMIT_FSIZE, &lim);
                    tolvex_result r = writeModel(net, path, json);
                    ::setrlimit(RLIMIT_FSIZE, &open_limit);
                    std::string where = plan.name + " " + name + " at " + std::to_string(cap) + " bytes: ";
                    if (r != tolvex_WriteFailed) complain(where + tolvex_result_name(r));
                    if (readWholeFile(path) != "the old model") complain(where + "the old file changed");
                    if (dirEntries(dir.path()) != std::vector<std::string>{name}) complain(where + "files left");
                }
                ::unlink(path.c_str());
            }
            tolvex_free_model(net);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    char buf[512];
    ssize_t n = ::read(report[0], buf, sizeof buf);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

TEST_F(WriteSignals, SignalMaskIsUnchangedByEveryCall) {
    ScratchDir dir;
    tolvex_model* m = largerThanAPipe();
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The host blocks a signal of its own and one of the two writes raise.
    sigset_t host, saved;
    sigemptyset(&host);
    sigaddset(&host, SIGUSR2);
    sigaddset(&host, SIGXFSZ);
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &host, &saved), 0);
    const std::vector<int> expected = blockedSignals();
    auto unchanged = [&](const std::string& what) {
        EXPECT_EQ(blockedSignals(), expected) << what;
        EXPECT_FALSE(isPending(SIGPIPE)) << what;
        EXPECT_FALSE(isPending(SIGXFSZ)) << what;
    };
    for (bool json : {false, true}) {
        std::string path = dir / (json ? "m.json" : "m.tvxf");
        Load load = json ? tolvex_load_json : tolvex_load_tvxf;
        EXPECT_EQ(writeModel(m, path, json), tolvex_Success);
        unchanged("write");
        tolvex_model* back = nullptr;
        EXPECT_EQ(load(&back, path.c_str()), tolvex_Success);
        tolvex_free_model(back);
        unchanged("load");
        EXPECT_EQ(load(&back, (dir / "missing").c_str()), tolvex_FileNotFound);
        unchanged("failed load");
        EXPECT_EQ(writeModel(m, dir / "no/such/dir/m", json), tolvex_FileNotFound);
        unchanged("failed open");
        EXPECT_EQ(writeModel(m, "/dev/full", json), tolvex_WriteFailed);
        unchanged("/dev/full");
        EXPECT_EQ(writeToVanishingReader(m, fifo, json), tolvex_WriteFailed);
        unchanged("FIFO without reader");
    }
    listIntoClosedPipe(m);
    unchanged("listing");

    // SIGPIPE blocked by the host: one the write raised is taken off again,
    // one that was pending before the call stays.
    sigaddset(&host, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &host, nullptr), 0);
    EXPECT_EQ(writeToVanishingReader(m, fifo, false), tolvex_WriteFailed);
    EXPECT_FALSE(isPending(SIGPIPE));
    pthread_kill(pthread_self(), SIGPIPE);
    ASSERT_TRUE(isPending(SIGPIPE));
    EXPECT_EQ(writeToVanishingReader(m, fifo, false), tolvex_WriteFailed);
    EXPECT_TRUE(isPending(SIGPIPE));
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGPIPE);
    const timespec zero{0, 0};
    EXPECT_EQ(sigtimedwait(&only, nullptr, &zero), SIGPIPE);

    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    tolvex_free_model(m);
}

TEST_F(FifoLoad, PipesThatDeliverLoadAndOnesThatStopShortFail) {
    ScratchDir dir;
    tolvex_model* m = uniformModel(64, 2.0f);
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (bool json : {false, true}) {
        Load load = json ? tolvex_load_json : tolvex_load_tvxf;
        const std::string bytes = encoding(m, json);
        const tolvex_result cut = json ? tolvex_UnexpectedEndOfInput : tolvex_EndOfStream;
        for (size_t send : {bytes.size(), bytes.size() / 2, size_t{0}}) {
            SCOPED_TRACE(std::string(json ? "json, " : "tvxf, ") + std::to_string(send) + " bytes");
            // The writer comes a moment after the load has begun to wait.
            std::thread writer([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
                if (fd < 0) return;
                (void)!::write(fd, bytes.data(), send);
                ::close(fd);
            });
            tolvex_model* back = nullptr;
            tolvex_result r = load(&back, fifo.c_str());
            writer.join();
            EXPECT_EQ(r, send == bytes.size() ? tolvex_result{tolvex_Success} : cut);
            if (r == tolvex_Success) {
                EXPECT_EQ(uniformValue(back, 64), 2.0f);
                tolvex_free_model(back);
            }
        }
    }
    tolvex_free_model(m);
}

// The host bounds the wait with a timer and a handler without SA_RESTART:
// the load ends with Canceled, whether it waits for a writer to open the
// FIFO or for a writer that has opened it to send more.
TEST_F(FifoLoad, SignalWithoutRestartCancelsTheWait) {
    ScratchDir dir;
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    AlarmHandler handler(0);
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "tvxf");
        Load load = json ? tolvex_load_json : tolvex_load_tvxf;
        std::atomic<bool> done{false};
        // No writer. Should the signal not end the wait, a late writer that
        // sends nothing does, and the test fails instead of hanging.
        std::thread watchdog = helperThread([&] {
            waitFor(done);
            int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        });
        AlarmHandler::startTimer(20000);
        tolvex_model* back = nullptr;
        EXPECT_EQ(load(&back, fifo.c_str()), tolvex_Canceled);
        AlarmHandler::stopTimer();
        done = true;
        watchdog.join();

        // A writer that opens the FIFO and sends four bytes, then nothing:
        // the timer starts only once the load waits in a read.
        done = false;
        std::thread writer = helperThread([&] {
            int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return;
            (void)!::write(fd, json ? "{\"in" : "tvxf", 4);
            AlarmHandler::startTimer(20000);
            waitFor(done);
            ::close(fd);
        });
        EXPECT_EQ(load(&back, fifo.c_str()), tolvex_Canceled);
        AlarmHandler::stopTimer();
        done = true;
        writer.join();
    }
}

TEST_F(FifoLoad, SignalWithRestartKeepsWaiting) {
    ScratchDir dir;
    tolvex_model* m = uniformModel(64, 2.0f);
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    AlarmHandler handler(SA_RESTART);
    for (bool json : {false, true}) {
        const std::string bytes = encoding(m, json);
        std::thread writer = helperThread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return;
            (void)!::write(fd, bytes.data(), bytes.size() / 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            (void)!::write(fd, bytes.data() + bytes.size() / 2, bytes.size() - bytes.size() / 2);
            ::close(fd);
        });
        AlarmHandler::startTimer(5000);
        tolvex_model* back = nullptr;
        tolvex_result r = (json ? tolvex_load_json : tolvex_load_tvxf)(&back, fifo.c_str());
        AlarmHandler::stopTimer();
        writer.join();
        ASSERT_EQ(r, tolvex_Success);
        EXPECT_EQ(uniformValue(back, 64), 2.0f);
        tolvex_free_model(back);
    }
    tolvex_free_model(m);
}
