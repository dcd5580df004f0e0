// Reads and writes on Linux, bounded by the port's time-outs as the Windows
// communications calls bound them.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>

#include "os/serial_device.h"
#include "serial/posix/device_posix.h"

int serialRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    CommTimeouts t;
    {
        std::lock_guard<std::mutex> guard(port->lock);
        t = port->timeouts;
    }
    if (count == 0) return 1;

    // The Windows rules: an interval of MAXDWORD with no totals returns at once
    // with what is there; with a MAXDWORD multiplier and a constant, it returns
    // as soon as anything came, or after the constant.
    const bool immediate = t.readIntervalTimeout == kInfinite &&
                           t.readTotalTimeoutMultiplier == 0 && t.readTotalTimeoutConstant == 0;
    const bool firstBytes = t.readIntervalTimeout == kInfinite &&
                            t.readTotalTimeoutMultiplier == kInfinite &&
                            t.readTotalTimeoutConstant != 0 &&
                            t.readTotalTimeoutConstant != kInfinite;
    int64_t totalNs = -1;
    if (firstBytes) {
        totalNs = int64_t(t.readTotalTimeoutConstant) * kNsPerMs;
    } else if (t.readTotalTimeoutMultiplier != 0 || t.readTotalTimeoutConstant != 0) {
        totalNs = (int64_t(t.readTotalTimeoutMultiplier) * count + t.readTotalTimeoutConstant) *
                  kNsPerMs;
    }
    const bool useInterval = t.readIntervalTimeout != 0 && t.readIntervalTimeout != kInfinite;
    const int64_t intervalNs = int64_t(t.readIntervalTimeout) * kNsPerMs;

    const int64_t start = nowNs();
    int64_t lastByte = start;
    uint32_t got = 0;
    bool hungUp = false;
    for (;;) {
        ssize_t r = read(port->fd, buffer + got, count - got);
        if (r > 0) {
            got += uint32_t(r);
            lastByte = nowNs();
            if (got == count || firstBytes) break;
            continue;
        }
        int failure = 0;
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
            failure = errno;
        } else if (r == 0 && (port->backend->emptyReadIsEnd || hungUp)) {
            // the other end has gone (a stream socket reads nothing only then)
            failure = EIO;
        }
        if (failure != 0) {
            *done = got;
            if (got > 0) return 1; // the bytes that came are kept; the next read fails
            errno = failure;
            return 0;
        }
        if (r < 0 && errno == EINTR) continue;
        if (immediate) break;

        int64_t deadline = -1;
        if (totalNs >= 0) deadline = start + totalNs;
        if (useInterval && got > 0 && (deadline < 0 || lastByte + intervalNs < deadline)) {
            deadline = lastByte + intervalNs;
        }
        timespec ts;
        timespec* timeout = nullptr;
        if (deadline >= 0) {
            int64_t remaining = deadline - nowNs();
            if (remaining <= 0) break;
            ts = toTimespec(remaining);
            timeout = &ts;
        }
        pollfd p{port->fd, POLLIN, 0};
        int n = ppoll(&p, 1, timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            *done = got;
            return got > 0 ? 1 : 0;
        }
        if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) hungUp = true;
    }
    *done = got;
    return 1;
}

int serialWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    CommTimeouts t;
    {
        std::lock_guard<std::mutex> guard(port->lock);
        t = port->timeouts;
    }
    int64_t totalNs = -1;
    if (t.writeTotalTimeoutMultiplier != 0 || t.writeTotalTimeoutConstant != 0) {
        totalNs = (int64_t(t.writeTotalTimeoutMultiplier) * count + t.writeTotalTimeoutConstant) *
                  kNsPerMs;
    }
    const int64_t start = nowNs();
    if (count != 0) writeTimesNote(start);
    uint32_t sent = 0;
    while (sent < count) {
        ssize_t r = port->backend->send(port, buffer + sent, count - sent);
        if (r > 0) {
            sent += uint32_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            *done = sent;
            return 0;
        }
        timespec ts;
        timespec* timeout = nullptr;
        if (totalNs >= 0) {
            int64_t remaining = start + totalNs - nowNs();
            if (remaining <= 0) break;
            ts = toTimespec(remaining);
            timeout = &ts;
        }
        pollfd p{port->fd, POLLOUT, 0};
        int n = ppoll(&p, 1, timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            *done = sent;
            return 0;
        }
        if (n > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            *done = sent;
            errno = EIO;
            return 0;
        }
    }
    *done = sent;
    return 1;
}
