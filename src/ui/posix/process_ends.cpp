// Standard streams and close signals. The handler only notes the signal and
// writes to an eventfd, which the window thread's loop watches; the close
// itself runs there, as a click on the close box would.
#include "ui/posix/process_ends.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

int signalFd = -1;
std::atomic<int> arrived{0}; // lock-free: safe in a handler, on any thread
static_assert(std::atomic<int>::is_always_lock_free, "a handler may store it");

void onCloseSignal(int signal) {
    const int saved = errno;
    arrived = signal;
    uint64_t one = 1;
    ssize_t r = write(signalFd, &one, sizeof one);
    (void)r;
    errno = saved;
}

} // namespace

void ensureStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", O_RDWR); // the lowest free descriptor: this one
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

int watchCloseSignals() {
    signal(SIGPIPE, SIG_IGN);
    signalFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (signalFd < 0) return -1;
    struct sigaction action {};
    action.sa_handler = onCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_flags = SA_RESTART | SA_RESETHAND; // the second one is not caught
    sigaction(SIGINT, &action, nullptr);
    return signalFd;
}

int takeCloseSignal() {
    uint64_t count;
    while (read(signalFd, &count, sizeof count) == ssize_t(sizeof count)) {
    }
    return arrived.exchange(0);
}

int readRecoverySwitch(const char* program, int argc, char** argv, bool* recovery) {
    *recovery = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-recovery") != 0) {
            std::fprintf(stderr, "%s: unknown option %s\n", program, argv[i]);
            return 0;
        }
        *recovery = false;
    }
    return 1;
}
