// Clock, events, threads and priorities on Linux.
#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
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
    int endedFd;               // eventfd, readable once the thread has ended
    std::atomic<pid_t> tid{0}; // the kernel's id of the thread, once it runs
};

namespace {
pid_t threadId() { return pid_t(syscall(SYS_gettid)); }

void* threadBody(void* arg) {
    ThreadHandle* t = static_cast<ThreadHandle*>(arg);
    t->tid = threadId();
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

// Priorities. On Linux a nice value belongs to one thread (setpriority with
// PRIO_PROCESS and a thread's id), so the program's level is given to each of
// its threads, and the port thread is put ahead of it: a real-time round-robin
// slot where that is permitted, else a nice value five below the program's.
// The port thread stays ahead of the window thread in both modes; "High
// Priority" raises the program, the port thread with it. Failures are ignored:
// without the rights for either, all threads stay at the program's level.
namespace {
constexpr int kHighNice = -10;
constexpr int kPortThreadAhead = 5;
int programNice = 0; // window thread only
} // namespace

void threadSetPriority(ThreadHandle* t, ThreadPriority priority) {
    // Started at once: its id is there within moments.
    for (int i = 0; i < 1000 && t->tid.load() == 0; ++i) sleepMs(1);
    sched_param p{};
    p.sched_priority = priority == ThreadPriorityHighest ? 2 : 1;
    if (pthread_setschedparam(t->thread, SCHED_RR, &p) == 0) return;
    p.sched_priority = 0;
    pthread_setschedparam(t->thread, SCHED_OTHER, &p);
    const pid_t tid = t->tid.load();
    if (tid != 0) setpriority(PRIO_PROCESS, id_t(tid), programNice - kPortThreadAhead);
}

void processSetHighPriority(bool high) {
    programNice = high ? kHighNice : 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        setpriority(PRIO_PROCESS, id_t(threadId()), programNice);
        return;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        setpriority(PRIO_PROCESS, id_t(atoi(entry->d_name)), programNice);
    }
    closedir(tasks);
}
