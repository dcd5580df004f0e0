// Serial devices on Linux: opening a terminal device exclusively in raw mode,
// its line settings, its line errors and modem lines, and closing it with the
// settings found at open put back: the backend of a port on one
// (device_posix.h). The port's time-outs and line errors are kept here for
// every backend.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "os/serial_device.h"
#include "serial/posix/device_posix.h"

namespace {

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

bool ttyOpen(SerialPort* port, const char* name, uint32_t* error) {
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
        *error = uint32_t(failure);
        return false;
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
    lineWatchStart(port);
    return true;
}

} // namespace

// The driver's queues are its own on Linux.
void serialSetQueues(SerialPort*, uint32_t, uint32_t) {}

namespace {

int ttyGetLine(SerialPort* port, LineSettings* settings) {
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

int ttySetLine(SerialPort* port, const LineSettings* settings) {
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

} // namespace

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

namespace {

void ttyClose(SerialPort* port) {
    // Everything as found, but the speed and character format as set.
    termios now;
    if (tcgetattr(port->fd, &now) == 0) {
        termios restore = port->found;
        restore.c_cflag = (restore.c_cflag & ~kFormatBits) | (now.c_cflag & kFormatBits);
        cfsetispeed(&restore, cfgetispeed(&now));
        cfsetospeed(&restore, cfgetospeed(&now));
        tcsetattr(port->fd, TCSANOW, &restore);
    }
    lineWatchStop(port);
    ioctl(port->fd, TIOCNXCL);
    close(port->fd); // also lets go of the lock
}

} // namespace

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

namespace {

int ttyModemStatus(SerialPort* port, uint32_t* status) {
    int bits = 0;
    if (ioctl(port->fd, TIOCMGET, &bits) != 0) {
        // a device without modem lines reports them all off
        return (errno == ENOTTY || errno == EINVAL) ? 1 : 0;
    }
    if (bits & TIOCM_CTS) *status |= MsCtsOn;
    if (bits & TIOCM_DSR) *status |= MsDsrOn;
    return 1;
}

bool ttyLineCounts(SerialPort* port, LineCounts* counts) {
    switch (port->lines) {
    case LinesIcount: {
        serial_icounter_struct ic;
        if (lineDriver.icount(port->fd, &ic) != 0) return false;
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
    default:
        break;
    }
    counts->cts = 0;
    counts->dsr = 0;
    return true;
}

int ttyLineFd(SerialPort*) { return -1; } // its changes are watched or polled

ssize_t ttySend(SerialPort* port, const uint8_t* bytes, size_t count) {
    return write(port->fd, bytes, count);
}

} // namespace

const DeviceBackend ttyBackend = {ttyOpen,       ttyClose,   ttyGetLine,  ttySetLine, ttyModemStatus,
                                  ttyLineCounts, ttyLineFd,  ttySend,     false};
