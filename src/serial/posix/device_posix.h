// The Linux serial device layer's own record of an open port and of the port
// thread's line-event wait, shared by its files:
//   device_posix.cpp     the backend of a port, chosen by its name at open
//   tty_posix.cpp        the terminal device's backend: open, close, line
//                        settings, errors, modem lines
//   sim_port_posix.cpp   the simulated console's backend
//   timed_io_posix.cpp   reads and writes bounded by the port's time-outs
//   line_wait_posix.cpp  the event mask and the line-event waits
#pragma once

#include <linux/serial.h>
#include <pthread.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "os/serial_device.h"

struct BackendState; // what a backend keeps of its own beside the port record

// Where a port's CTS and DSR changes come from.
enum LineSource {
    LinesNone,     // no modem lines (a pseudo-terminal): they never change
    LinesIcount,   // the driver counts the changes (TIOCGICOUNT)
    LinesModem,    // only the line states can be read (TIOCMGET)
    LinesSignalled // the backend counts them and signals each on its lineFd
};

// How a port with modem lines learns of their changes (line_watch_posix.cpp).
enum LineMethod {
    LineMethodNone,     // no modem lines, or the simulated console's own signal
    LineMethodDeciding, // the watcher has just started
    LineMethodWaited,   // the watcher waits in TIOCMIWAIT and wakes the port thread
    LineMethodPolled,   // the port thread looks at the counts every millisecond
};

struct LineCounts {
    uint32_t cts;
    uint32_t dsr;
};

// A backend of the device layer: where a port on a terminal device and a port
// on the simulated console differ. One table per backend, chosen once, when
// the port opens, by its name (device_posix.cpp); reads, writes and waits are
// the same code over the port's descriptor.
struct DeviceBackend {
    // Sets up port (its controlFd made already): fd, lines, seen; false with
    // *error on failure, with nothing of its own left open.
    bool (*open)(SerialPort* port, const char* name, uint32_t* error);
    void (*close)(SerialPort* port); // all but controlFd and the record
    int (*getLine)(SerialPort* port, LineSettings* settings);
    int (*setLine)(SerialPort* port, const LineSettings* settings); // checked already
    int (*modemStatus)(SerialPort* port, uint32_t* status);
    // The CTS and DSR change counts (or states) from the port's line source.
    bool (*lineCounts)(SerialPort* port, LineCounts* counts);
    // Readable (an eventfd) after a line change, for LinesSignalled.
    int (*lineFd)(SerialPort* port);
    // Writes toward the console without raising SIGPIPE; as write().
    ssize_t (*send)(SerialPort* port, const uint8_t* bytes, size_t count);
    // A read that takes nothing means the other end has gone (a stream socket).
    bool emptyReadIsEnd;
};
extern const DeviceBackend ttyBackend; // tty_posix.cpp
extern const DeviceBackend simBackend; // sim_port_posix.cpp

struct SerialPort {
    const DeviceBackend* backend = nullptr;
    BackendState* state = nullptr; // the backend's own, or null
    int fd = -1;
    int controlFd = -1; // eventfd: the mask changed, or the port is closing
    LineSource lines = LinesNone;
    bool errorCounts = false; // TIOCGICOUNT gives the line-error counts
    termios found{};          // the tty's state at open, put back at close

    std::atomic<uint32_t> mask{0};
    std::atomic<uint32_t> maskGeneration{0};
    std::atomic<bool> closing{false};

    std::atomic<int> lineMethod{LineMethodNone};
    pthread_t watcher{};
    bool watcherStarted = false; // opening and closing thread only
    std::atomic<bool> watcherEnd{false};
    std::atomic<bool> watcherEnded{false};

    std::mutex lock; // guards the fields below
    CommTimeouts timeouts{};
    LineCounts seen{0, 0};              // line changes already reported or masked off
    serial_icounter_struct errorBase{}; // error counts at the last clearing
};

struct LineWait {
    SerialPort* port = nullptr;
    bool pending = false; // started, and its result not yet taken
    bool ended = false;   // the wait event: signalled
    uint32_t events = 0;  // the events that ended it
    uint32_t error = 0;   // nonzero: the wait failed so
    uint32_t generation = 0;
    uint32_t mask = 0;
};

constexpr int64_t kNsPerMs = 1000000;
constexpr uint32_t kInfinite = 0xFFFFFFFFu; // MAXDWORD in a time-out

inline int64_t nowNs() { // CLOCK_MONOTONIC
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline timespec toTimespec(int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

// Adds 1 to an eventfd.
inline void signalFd(int fd) {
    uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof one);
    (void)r;
}

// Takes an eventfd's count.
inline void drainFd(int fd) {
    uint64_t value;
    ssize_t r = read(fd, &value, sizeof value);
    (void)r;
}

// The CTS and DSR change counts (or states) from the port's line source.
inline bool readLineCounts(SerialPort* port, LineCounts* counts) {
    return port->backend->lineCounts(port, counts);
}

// ---- the line watcher (line_watch_posix.cpp)

// The driver's calls behind the line changes: the change counts and the wait
// for the next change. Tests put doubles in their place; beforeWait, when set,
// runs at the start of each turn of the watcher.
struct LineDriver {
    int (*icount)(int fd, serial_icounter_struct* counts); // TIOCGICOUNT
    int (*waitChange)(int fd);                             // TIOCMIWAIT on CTS and DSR
    void (*beforeWait)();
};
extern LineDriver lineDriver;

// For a device with modem lines: starts the watcher, and decides (within
// 50 ms) whether its changes are waited for or polled.
void lineWatchStart(SerialPort* port);
// Ends and joins the watcher; before the device is closed.
void lineWatchStop(SerialPort* port);

// ---- the benchmark's console write times (write_times_none.cpp keeps none;
// the benchmark's program links bench/write_times.cpp instead)

// At open: whether the times are to be kept.
void writeTimesOpen();
// A write to the console starts at ns (nowNs()).
void writeTimesNote(int64_t ns);
// At close, once the port thread has ended: the times kept, added to the file.
void writeTimesSave();
