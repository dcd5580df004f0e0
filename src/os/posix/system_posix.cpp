// Clock, events, threads and priorities on Linux.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "os/posix/system_posix.h"
#include "os/system.h"

uint32_t clockMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

// Linux's timers already keep to well under a millisecond.
void timerPrecisionBegin() {}
void timerPrecisionEnd() {}

void sleepMs(uint32_t ms) {
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t lastSystemError() { return uint32_t(errno); }

// An auto-reset event is an eventfd: set writes 1, a wait that sees it reads it.
WakeEvent* wakeEventCreate() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    return reinterpret_cast<WakeEvent*>(intptr_t(fd) + 1);
}
int wakeEventFd(WakeEvent* event) { return int(reinterpret_cast<intptr_t>(event) - 1); }
void wakeEventSet(WakeEvent* event) {
    if (event == nullptr) return;
    uint64_t one = 1;
    ssize_t r = write(wakeEventFd(event), &one, sizeof one);
    (void)r;
}
bool wakeEventTake(WakeEvent* event) {
    uint64_t value;
    return read(wakeEventFd(event), &value, sizeof value) == ssize_t(sizeof value);
}
void wakeEventClose(WakeEvent* event) {
    if (event != nullptr) close(wakeEventFd(event));
}

struct ThreadHandle {
    pthread_t thread;
    int (*entry)();
    std::atomic<bool> ended{false};
    int endedFd; // eventfd, readable once the thread has ended
};

namespace {
void* threadBody(void* arg) {
    ThreadHandle* t = static_cast<ThreadHandle*>(arg);
    t->entry();
    t->ended = true;
    uint64_t one = 1;
    ssize_t r = write(t->endedFd, &one, sizeof one);
    (void)r;
    return nullptr;
}
} // namespace

ThreadHandle* threadStart(int (*entry)()) {
    ThreadHandle* t = new ThreadHandle; // one per accepted Settings dialog, not per packet
    t->entry = entry;
    t->endedFd = eventfd(0, EFD_CLOEXEC);
    // Signals are the window thread's: the new thread starts with them blocked.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const bool started = t->endedFd >= 0 && pthread_create(&t->thread, nullptr, threadBody, t) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) {
        int e = errno;
        if (t->endedFd >= 0) close(t->endedFd);
        delete t;
        errno = e;
        return nullptr;
    }
    return t;
}

int threadWait(ThreadHandle* t, uint32_t ms) {
    if (t->ended) return 1;
    pollfd p{t->endedFd, POLLIN, 0};
    poll(&p, 1, int(ms));
    return t->ended ? 1 : 0;
}

void threadRelease(ThreadHandle* t) {
    pthread_join(t->thread, nullptr);
    close(t->endedFd);
    delete t;
}

// The port thread is favoured over the window thread where the system allows:
// a real-time round-robin slot when permitted, else a lower nice value for the
// thread. Failures are ignored.
void threadSetPriority(ThreadHandle* t, ThreadPriority priority) {
    sched_param p{};
    if (priority == ThreadPriorityHighest) {
        p.sched_priority = 1;
        if (pthread_setschedparam(t->thread, SCHED_RR, &p) == 0) return;
    } else {
        pthread_setschedparam(t->thread, SCHED_OTHER, &p);
    }
}

void processSetHighPriority(bool high) { setpriority(PRIO_PROCESS, 0, high ? -10 : 0); }
