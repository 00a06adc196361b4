// Keeping SIGPIPE and SIGXFSZ from the host while the library writes.
//
// Both are raised by a failing write itself: SIGPIPE by a write to a pipe or
// FIFO whose reader has gone, SIGXFSZ by a write past the process's file-size
// limit (ulimit -f). Their default action ends the process, which is not the
// library's to decide. Blocked, they stay pending instead and the write fails
// with EPIPE or EFBIG, which the writer reports as WriteFailed. Both are sent
// to the thread that wrote, so blocking them in that thread alone suffices;
// the library never installs a handler or changes another thread's mask.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "io/io.hpp"

namespace tolvex::io {

namespace {

// Takes one pending instance of `sig` off without waiting for one. Ordinary
// signals do not queue, so one is all there can be.
void consume(int sig) {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    const timespec zero{0, 0};
    while (::sigtimedwait(&only, nullptr, &zero) < 0 && errno == EINTR) {
    }
}

}  // namespace

QuietWriteSignals::QuietWriteSignals() {
    sigset_t quiet, pending;
    sigemptyset(&quiet);
    sigaddset(&quiet, SIGPIPE);
    sigaddset(&quiet, SIGXFSZ);
    // What the host already has pending (it may block these itself) is the
    // host's, and stays.
    if (::sigpending(&pending) == 0) {
        pipe_pending_before_ = sigismember(&pending, SIGPIPE) == 1;
        xfsz_pending_before_ = sigismember(&pending, SIGXFSZ) == 1;
    }
    active_ = ::pthread_sigmask(SIG_BLOCK, &quiet, &old_mask_) == 0;
}

QuietWriteSignals::~QuietWriteSignals() {
    if (!active_) return;
    int saved_errno = errno;
    sigset_t pending;
    if (::sigpending(&pending) == 0) {
        if (!pipe_pending_before_ && sigismember(&pending, SIGPIPE) == 1) consume(SIGPIPE);
        if (!xfsz_pending_before_ && sigismember(&pending, SIGXFSZ) == 1) consume(SIGXFSZ);
    }
    (void)::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    errno = saved_errno;
}

}  // namespace tolvex::io
