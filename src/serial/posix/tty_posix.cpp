// Serial devices on Linux: termios ttys, and the simulated console behind a
// stream socket, with the behaviour of the Windows communications calls that the
// link relies on (read and write time-outs, line-event waits, the mask).
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>

#include "os/posix/system_posix.h"
#include "os/serial_device.h"
#include "serial/posix/sim_console.h"

const uint32_t kPortClosedError = EBADF;

namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr int64_t kNsPerMs = 1000000;
// How often the modem lines are looked at while a wait asks for them on a
// device that cannot signal their changes.
constexpr int64_t kLinePollNs = kNsPerMs;

// Where a port's CTS and DSR changes come from.
enum LineSource {
    LinesNone,   // no modem lines (a pseudo-terminal): they never change
    LinesIcount, // the driver counts the changes (TIOCGICOUNT)
    LinesModem,  // only the line states can be read (TIOCMGET)
    LinesSim,    // the simulated console's own counts
};

struct LineCounts {
    uint32_t cts;
    uint32_t dsr;
};

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

timespec toTimespec(int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

void signalFd(int fd) {
    uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof one);
    (void)r;
}

void drainFd(int fd) {
    uint64_t value;
    ssize_t r = read(fd, &value, sizeof value);
    (void)r;
}

struct Speed {
    uint32_t baud;
    speed_t code;
};
const Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speedCode(uint32_t baud, speed_t* code) {
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

uint32_t speedBaud(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code) return s.baud;
    }
    return 0;
}

// The character-format bits of c_cflag: kept from the device's settings while
// raw mode is set up, and kept from the program's settings when the rest of the
// found state is restored at close.
constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

} // namespace

struct SerialPort {
    int fd = -1;
    int controlFd = -1; // eventfd: the mask changed, or the port is closing
    SimConsole* sim = nullptr;
    LineSource lines = LinesNone;
    bool errorCounts = false; // TIOCGICOUNT gives the line-error counts
    termios found{};          // the tty's state at open, put back at close

    std::atomic<uint32_t> mask{0};
    std::atomic<uint32_t> maskGeneration{0};
    std::atomic<bool> closing{false};

    std::mutex lock; // guards the fields below
    CommTimeouts timeouts{};
    LineSettings simLine{115200, 8, 0, 0};
    LineCounts seen{0, 0};            // line changes already reported or masked off
    serial_icounter_struct errorBase{}; // error counts at the last clearing
};

struct LineWait {
    SerialPort* port = nullptr;
    bool pending = false;  // started, and its result not yet taken
    bool ended = false;    // the wait event: signalled
    uint32_t events = 0;   // the events that ended it
    uint32_t error = 0;    // nonzero: the wait failed so
    uint32_t generation = 0;
    uint32_t mask = 0;
};

namespace {

bool readLineCounts(SerialPort* port, LineCounts* counts) {
    switch (port->lines) {
    case LinesIcount: {
        serial_icounter_struct ic;
        if (ioctl(port->fd, TIOCGICOUNT, &ic) != 0) return false;
        counts->cts = uint32_t(ic.cts);
        counts->dsr = uint32_t(ic.dsr);
        return true;
    }
    case LinesModem: {
        int bits = 0;
        if (ioctl(port->fd, TIOCMGET, &bits) != 0) return false;
        counts->cts = (bits & TIOCM_CTS) ? 1 : 0;
        counts->dsr = (bits & TIOCM_DSR) ? 1 : 0;
        return true;
    }
    case LinesSim:
        simConsoleLineCounts(port->sim, &counts->cts, &counts->dsr);
        return true;
    case LinesNone:
        break;
    }
    counts->cts = 0;
    counts->dsr = 0;
    return true;
}

// Maps the Windows names COM1..COM4 to the first four serial ports.
const char* devicePath(const char* name, char* buffer, size_t size) {
    if ((name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '4' &&
        name[4] == '\0') {
        snprintf(buffer, size, "/dev/ttyS%c", char(name[3] - 1));
        return buffer;
    }
    return name;
}

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

SerialPort* serialOpen(const char* name, uint32_t* error) {
    *error = 0;
    if (name == nullptr || name[0] == '\0') {
        *error = ENOENT;
        return nullptr;
    }
    SerialPort* port = new (std::nothrow) SerialPort;
    if (port == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    port->controlFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->controlFd < 0) {
        *error = uint32_t(errno);
        delete port;
        return nullptr;
    }

    if (simConsoleNamed(name)) {
        int fd = -1;
        port->sim = simConsoleOpen(name, &fd, error);
        if (port->sim == nullptr) {
            if (*error == 0) *error = EINVAL;
            close(port->controlFd);
            delete port;
            return nullptr;
        }
        port->fd = fd;
        port->lines = LinesSim;
        readLineCounts(port, &port->seen);
        return port;
    }

    char pathBuffer[16];
    const char* path = devicePath(name, pathBuffer, sizeof pathBuffer);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int failure = 0;
    if (fd < 0) {
        failure = errno;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // another program of ours (or anything that locks ttys so) holds it
        failure = errno;
    } else if (tcgetattr(fd, &port->found) != 0) {
        // not a terminal device: nothing to read or write as a serial line
        failure = errno;
    }
    if (failure != 0) {
        if (fd >= 0) close(fd);
        close(port->controlFd);
        delete port;
        *error = uint32_t(failure);
        return nullptr;
    }
    port->fd = fd;
    ioctl(fd, TIOCEXCL); // keeps out other openers (root is not kept out)

    // Raw bytes, no flow control by characters, reads that never wait in the
    // driver (the time-outs are ours); speed and character format stay as found
    // until the program sets them.
    termios raw = port->found;
    cfmakeraw(&raw);
    raw.c_cflag = (raw.c_cflag & ~kFormatBits) | (port->found.c_cflag & kFormatBits);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_iflag &= ~(IXOFF | IXANY);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);

    serial_icounter_struct ic;
    int bits = 0;
    if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
        port->lines = LinesIcount;
        port->errorCounts = true;
        port->errorBase = ic;
    } else if (ioctl(fd, TIOCMGET, &bits) == 0) {
        port->lines = LinesModem;
    }
    readLineCounts(port, &port->seen);
    return port;
}

// The driver's queues are its own on Linux.
void serialSetQueues(SerialPort*, uint32_t, uint32_t) {}

int serialGetLine(SerialPort* port, LineSettings* settings) {
    if (port->sim != nullptr) {
        std::lock_guard<std::mutex> guard(port->lock);
        *settings = port->simLine;
        return 1;
    }
    termios t;
    if (tcgetattr(port->fd, &t) != 0) return 0;
    settings->baudRate = speedBaud(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: settings->byteSize = 5; break;
    case CS6: settings->byteSize = 6; break;
    case CS7: settings->byteSize = 7; break;
    default: settings->byteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) {
        settings->parity = 0;
    } else if (t.c_cflag & CMSPAR) {
        settings->parity = (t.c_cflag & PARODD) ? 3 : 4; // mark, space
    } else {
        settings->parity = (t.c_cflag & PARODD) ? 1 : 2; // odd, even
    }
    settings->stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    return 1;
}

int serialSetLine(SerialPort* port, const LineSettings* settings) {
    if (settings->baudRate == 0 || settings->byteSize < 5 || settings->byteSize > 8 ||
        settings->parity > 4 || settings->stopBits > 2) {
        errno = EINVAL;
        return 0;
    }
    if (port->sim != nullptr) {
        {
            std::lock_guard<std::mutex> guard(port->lock);
            port->simLine = *settings;
        }
        simConsoleSetSpeed(port->sim, settings->baudRate);
        return 1;
    }
    speed_t code;
    if (!speedCode(settings->baudRate, &code)) {
        errno = EINVAL;
        return 0;
    }
    termios t;
    if (tcgetattr(port->fd, &t) != 0) return 0;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~kFormatBits;
    t.c_cflag |= sizes[settings->byteSize - 5];
    switch (settings->parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (settings->stopBits != 0) t.c_cflag |= CSTOPB;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    return tcsetattr(port->fd, TCSANOW, &t) == 0 ? 1 : 0;
}

int serialGetTimeouts(SerialPort* port, CommTimeouts* timeouts) {
    std::lock_guard<std::mutex> guard(port->lock);
    *timeouts = port->timeouts;
    return 1;
}

int serialSetTimeouts(SerialPort* port, const CommTimeouts* timeouts) {
    std::lock_guard<std::mutex> guard(port->lock);
    port->timeouts = *timeouts;
    return 1;
}

void serialClose(SerialPort* port) {
    if (port == nullptr) return;
    if (port->sim != nullptr) {
        simConsoleClose(port->sim);
        close(port->fd);
    } else {
        // Everything as found, but the speed and character format as set.
        termios now;
        if (tcgetattr(port->fd, &now) == 0) {
            termios restore = port->found;
            restore.c_cflag = (restore.c_cflag & ~kFormatBits) | (now.c_cflag & kFormatBits);
            cfsetispeed(&restore, cfgetispeed(&now));
            cfsetospeed(&restore, cfgetospeed(&now));
            tcsetattr(port->fd, TCSANOW, &restore);
        }
        ioctl(port->fd, TIOCNXCL);
        close(port->fd); // also lets go of the lock
    }
    close(port->controlFd);
    delete port;
}

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
        } else if (r == 0 && (port->sim != nullptr || hungUp)) {
            failure = EIO; // the other end has gone
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
    uint32_t sent = 0;
    while (sent < count) {
        ssize_t r;
        if (port->sim != nullptr) {
            r = send(port->fd, buffer + sent, count - sent, MSG_NOSIGNAL);
        } else {
            r = write(port->fd, buffer + sent, count - sent);
        }
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

int serialClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue) {
    uint32_t bits = 0;
    if (port->errorCounts) {
        serial_icounter_struct now;
        if (ioctl(port->fd, TIOCGICOUNT, &now) == 0) {
            std::lock_guard<std::mutex> guard(port->lock);
            const serial_icounter_struct& base = port->errorBase;
            if (now.frame != base.frame) bits |= CeFrame;
            if (now.overrun != base.overrun) bits |= CeOverrun;
            if (now.parity != base.parity) bits |= CeRxParity;
            if (now.brk != base.brk) bits |= CeBreak;
            if (now.buf_overrun != base.buf_overrun) bits |= CeRxOver;
            port->errorBase = now;
        }
    }
    *errors = bits;
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) {
        *inQueue = 0;
        return 0;
    }
    *inQueue = waiting > 0 ? uint32_t(waiting) : 0;
    return 1;
}

int serialModemStatus(SerialPort* port, uint32_t* status) {
    *status = 0;
    if (port->sim != nullptr) {
        *status = simConsoleModem(port->sim) & (MsCtsOn | MsDsrOn);
        return 1;
    }
    int bits = 0;
    if (ioctl(port->fd, TIOCMGET, &bits) != 0) {
        // a device without modem lines reports them all off
        return (errno == ENOTTY || errno == EINVAL) ? 1 : 0;
    }
    if (bits & TIOCM_CTS) *status |= MsCtsOn;
    if (bits & TIOCM_DSR) *status |= MsDsrOn;
    return 1;
}

int serialSetMask(SerialPort* port, uint32_t mask) {
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

uint32_t waitLineOrPacket(LineWait* wait, WakeEvent* packetEvent, uint32_t timeoutMs,
                          uint32_t* error) {
    *error = 0;
    if (wait->pending && wait->ended) return 0;
    SerialPort* port = wait->pending ? wait->port : nullptr;
    const bool infinite = timeoutMs == kInfinite;
    const int64_t deadline = nowNs() + int64_t(timeoutMs) * kNsPerMs;

    short serialEvents = 0;
    bool packetReady = false;
    bool polled = false;
    for (;;) {
        if (port != nullptr && lineWaitEnded(wait, serialEvents)) return 0;
        if (packetReady && wakeEventTake(packetEvent)) return 1;
        const int64_t remaining = infinite ? -1 : deadline - nowNs();
        if (polled && !infinite && remaining <= 0) return kWaitTimeout;

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
                if (port->lines == LinesSim) {
                    fds[n] = pollfd{simConsoleLineFd(port->sim), POLLIN, 0};
                    lineIndex = n++;
                } else if (port->lines == LinesIcount || port->lines == LinesModem) {
                    linePolling = true;
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
