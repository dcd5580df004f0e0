// CTS and DSR changes without polling: a watcher thread waits in the driver
// for the next change (TIOCMIWAIT) and wakes the port thread's wait through the
// port's control eventfd; the port thread then reads the change counts as
// before. A driver that does not offer the wait (TIOCMIWAIT failing at once,
// with ENOTTY or EINVAL) is left to the port thread's polling every
// millisecond, and so is a device whose wait later fails (unplugged).
//
// The driver's wait reports only changes made after it is entered. So before
// each wait the watcher looks at the change counts, and a change since its last
// look (one that came while the port thread was taking the last, say) wakes the
// port thread as a reported one does, as Windows keeps an event that comes while
// no wait is outstanding. Only a change in the microsecond between that look
// and the driver's own is left to the change after it.
//
// The watcher is ended at close by SIGUSR2, which interrupts its wait (the
// handler does nothing; it is sent only to the watcher, whose other signals
// are blocked).
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cstdint>

#include "os/serial_device.h"
#include "serial/posix/device_posix.h"

namespace {

constexpr int kEndSignal = SIGUSR2;
// A driver without the wait refuses it at once; one that waits is still in it
// after this long.
constexpr int64_t kVerdictNs = 50 * kNsPerMs;

void onEndSignal(int) {}

int driverIcount(int fd, serial_icounter_struct* counts) {
    return ioctl(fd, TIOCGICOUNT, counts);
}
int driverWaitChange(int fd) { return ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR); }

void* watchLines(void* arg) {
    SerialPort* port = static_cast<SerialPort*>(arg);
    sigset_t end;
    sigemptyset(&end);
    sigaddset(&end, kEndSignal);
    pthread_sigmask(SIG_UNBLOCK, &end, nullptr);
    LineCounts looked{0, 0};
    bool lookedBefore = false;
    while (!port->watcherEnd.load()) {
        if (lineDriver.beforeWait != nullptr) lineDriver.beforeWait();
        LineCounts now;
        if (readLineCounts(port, &now)) {
            if (lookedBefore && (now.cts != looked.cts || now.dsr != looked.dsr))
                signalFd(port->controlFd);
            looked = now;
            lookedBefore = true;
        }
        if (lineDriver.waitChange(port->fd) == 0) {
            signalFd(port->controlFd);
            continue;
        }
        if (errno == EINTR) continue;
        // Not offered (ENOTTY, EINVAL), or the device is gone: polling from now.
        port->lineMethod.store(LineMethodPolled);
        signalFd(port->controlFd);
        break;
    }
    port->watcherEnded.store(true);
    return nullptr;
}

void sleepNs(int64_t ns) {
    timespec ts = toTimespec(ns);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace

LineDriver lineDriver{driverIcount, driverWaitChange, nullptr};

void lineWatchStart(SerialPort* port) {
    if (port->lines != LinesIcount && port->lines != LinesModem) return;
    static bool handlerSet = false; // window thread only
    if (!handlerSet) {
        struct sigaction action {};
        action.sa_handler = onEndSignal; // no SA_RESTART: the wait ends with EINTR
        sigemptyset(&action.sa_mask);
        sigaction(kEndSignal, &action, nullptr);
        handlerSet = true;
    }
    port->lineMethod.store(LineMethodDeciding);
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    port->watcherStarted = pthread_create(&port->watcher, nullptr, watchLines, port) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!port->watcherStarted) {
        port->lineMethod.store(LineMethodPolled);
        return;
    }
    const int64_t until = nowNs() + kVerdictNs;
    while (!port->watcherEnded.load() && nowNs() < until) sleepNs(kNsPerMs);
    int deciding = LineMethodDeciding;
    port->lineMethod.compare_exchange_strong(deciding, LineMethodWaited);
}

void lineWatchStop(SerialPort* port) {
    if (!port->watcherStarted) return;
    port->watcherEnd.store(true);
    // A signal that comes just before the watcher enters its wait does not end
    // it: send it again until the watcher has gone.
    while (!port->watcherEnded.load()) {
        pthread_kill(port->watcher, kEndSignal);
        sleepNs(kNsPerMs);
    }
    pthread_join(port->watcher, nullptr);
    port->watcherStarted = false;
}

const char* serialLineMethod(SerialPort* port) {
    switch (port->lineMethod.load()) {
    case LineMethodWaited: return "waited for (TIOCMIWAIT)";
    case LineMethodPolled: return "polled every ms";
    default: return nullptr; // no modem lines, or the backend's own signal
    }
}
