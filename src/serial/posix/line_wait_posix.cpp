// The port thread's line-event waits on Linux: the event mask, a wait that
// stays outstanding while other operations run, and the wait for a line event,
// packetEvent or a time-out at once. CTS and DSR changes are seen through the
// driver's change counters, looked at when the line watcher says a line changed
// (TIOCMIWAIT), or every millisecond while a wait asks for them on a driver
// without that wait; or through the backend's own signal.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>

#include "os/posix/system_posix.h"
#include "os/serial_device.h"
#include "serial/posix/device_posix.h"

const uint32_t kPortClosedError = EBADF;

namespace {

constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
// How often the modem lines are looked at while a wait asks for them on a
// device that cannot signal their changes.
constexpr int64_t kLinePollNs = kNsPerMs;

void failWait(LineWait* wait, int error) {
    wait->ended = true;
    wait->events = 0;
    wait->error = uint32_t(error != 0 ? error : EIO);
}

// Looks whether the pending wait has ended, given what the last poll said of
// the device. True when it has (the wait's fields say how).
bool lineWaitEnded(LineWait* wait, short serialEvents) {
    SerialPort* port = wait->port;
    if (port->closing.load()) {
        wait->ended = true;
        return true;
    }
    if (port->maskGeneration.load() != wait->generation) {
        wait->ended = true;
        wait->events = 0;
        return true;
    }
    uint32_t events = 0;
    if (serialEvents & (POLLHUP | POLLERR | POLLNVAL)) {
        // The device hung up (unplugged, or the other end of the line closed).
        // Bytes that it left are still reported; after them the wait fails.
        int waiting = 0;
        if (ioctl(port->fd, FIONREAD, &waiting) != 0) {
            failWait(wait, errno);
            return true;
        }
        if (!(serialEvents & POLLIN) || waiting <= 0 || !(wait->mask & EvRxChar)) {
            failWait(wait, EIO);
            return true;
        }
        events |= EvRxChar;
    } else if ((serialEvents & POLLIN) && (wait->mask & EvRxChar)) {
        events |= EvRxChar;
    }
    uint32_t lineMask = wait->mask & (EvCts | EvDsr);
    if (lineMask != 0 && port->lines != LinesNone) {
        LineCounts now;
        if (!readLineCounts(port, &now)) {
            failWait(wait, errno);
            return true;
        }
        std::lock_guard<std::mutex> guard(port->lock);
        uint32_t changed = 0;
        if ((lineMask & EvCts) && now.cts != port->seen.cts) changed |= EvCts;
        if ((lineMask & EvDsr) && now.dsr != port->seen.dsr) changed |= EvDsr;
        if (changed != 0) port->seen = now;
        events |= changed;
    }
    if (events == 0) return false;
    wait->ended = true;
    wait->events = events;
    return true;
}

} // namespace

int serialSetMask(SerialPort* port, uint32_t mask) {
    if (port == nullptr) return 0; // none open: a reset after the port's close
    int result = 1;
    {
        // Line changes made before the new mask are not reported under it.
        std::lock_guard<std::mutex> guard(port->lock);
        port->mask.store(mask);
        LineCounts now;
        if (readLineCounts(port, &now)) {
            port->seen = now;
        } else {
            result = 0;
        }
    }
    port->maskGeneration.fetch_add(1);
    signalFd(port->controlFd);
    return result;
}

LineWait* lineWaitCreate() {
    LineWait* wait = new (std::nothrow) LineWait;
    if (wait == nullptr) errno = ENOMEM;
    return wait;
}

void lineWaitClose(LineWait* wait) { delete wait; }

int serialWaitEvent(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    *events = 0;
    *error = 0;
    wait->port = port;
    wait->pending = true;
    wait->ended = false;
    wait->events = 0;
    wait->error = 0;
    // After serialEndWaits the wait ends at once, and its result query fails.
    if (port->closing.load()) {
        wait->ended = true;
        return WaitPending;
    }
    wait->generation = port->maskGeneration.load();
    wait->mask = port->mask.load();
    return WaitPending;
}

int serialWaitResult(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    *events = 0;
    *error = 0;
    if (port->closing.load() || (wait->port != nullptr && wait->port->closing.load())) {
        *error = kPortClosedError;
        return 0;
    }
    if (!wait->pending || !wait->ended) {
        *error = EAGAIN; // not ended yet
        return 0;
    }
    if (wait->error != 0) {
        *error = wait->error; // it stays ended: the next query reports the same
        return 0;
    }
    *events = wait->events;
    wait->pending = false;
    wait->ended = false;
    return 1;
}

uint32_t waitLineOrPacket(LineWait* wait, WakeEvent* packetEvent, uint32_t fromMs,
                          uint32_t timeoutMs, uint32_t* error) {
    *error = 0;
    if (wait->pending && wait->ended) return 0;
    SerialPort* port = wait->pending ? wait->port : nullptr;
    const bool infinite = timeoutMs == kNoTimeout;
    // The moment clockMs() turns to fromMs + timeoutMs: clockMs() is the
    // monotonic clock in whole milliseconds.
    const int64_t startNs = nowNs();
    const int64_t startMs = startNs / kNsPerMs;
    const int32_t leftMs = int32_t(fromMs + timeoutMs - uint32_t(startMs));
    const int64_t deadline = (startMs + leftMs) * kNsPerMs;

    short serialEvents = 0;
    bool packetReady = false;
    bool polled = false;
    for (;;) {
        if (port != nullptr && lineWaitEnded(wait, serialEvents)) return 0;
        if (packetReady && wakeEventTake(packetEvent)) return 1;
        int64_t remaining = -1; // no limit
        if (!infinite) {
            remaining = deadline - nowNs();
            if (remaining <= 0) {
                if (polled) return kWaitTimeout;
                remaining = 0; // a look at what is there, then the time-out
            }
        }

        pollfd fds[4];
        int n = 0;
        int packetIndex = -1, serialIndex = -1, controlIndex = -1, lineIndex = -1;
        bool linePolling = false;
        if (packetEvent != nullptr) {
            fds[n] = pollfd{wakeEventFd(packetEvent), POLLIN, 0};
            packetIndex = n++;
        }
        if (port != nullptr) {
            fds[n] = pollfd{port->controlFd, POLLIN, 0};
            controlIndex = n++;
            fds[n] = pollfd{port->fd, short((wait->mask & EvRxChar) ? POLLIN : 0), 0};
            serialIndex = n++;
            if (wait->mask & (EvCts | EvDsr)) {
                if (port->lines == LinesSignalled) {
                    fds[n] = pollfd{port->backend->lineFd(port), POLLIN, 0};
                    lineIndex = n++;
                } else if ((port->lines == LinesIcount || port->lines == LinesModem) &&
                           port->lineMethod.load() != LineMethodWaited) {
                    linePolling = true; // else the watcher wakes the wait (controlFd)
                }
            }
        }
        int64_t sliceNs = remaining;
        if (linePolling && (sliceNs < 0 || sliceNs > kLinePollNs)) sliceNs = kLinePollNs;
        timespec ts = toTimespec(sliceNs);
        int r = ppoll(fds, nfds_t(n), sliceNs < 0 ? nullptr : &ts, nullptr);
        polled = true;
        if (r < 0) {
            if (errno == EINTR) continue;
            *error = uint32_t(errno);
            return kWaitFailed;
        }
        serialEvents = serialIndex >= 0 ? fds[serialIndex].revents : 0;
        packetReady = packetIndex >= 0 && (fds[packetIndex].revents & POLLIN);
        if (controlIndex >= 0 && (fds[controlIndex].revents & POLLIN)) drainFd(port->controlFd);
        if (lineIndex >= 0 && (fds[lineIndex].revents & POLLIN)) drainFd(fds[lineIndex].fd);
    }
}

void serialEndWaits(SerialPort* port) {
    if (port == nullptr) return;
    port->closing.store(true);
    signalFd(port->controlFd);
}

int serialClosing(SerialPort* port) { return port->closing.load() ? 1 : 0; }
