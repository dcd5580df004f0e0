// The Linux serial device layer's own record of an open port and of the port
// thread's line-event wait, shared by its files:
//   tty_posix.cpp        termios: open, close, line settings, errors, modem lines
//   timed_io_posix.cpp   reads and writes bounded by the port's time-outs
//   line_wait_posix.cpp  the event mask and the line-event waits
//   sim_port_posix.cpp   a port on the simulated console: everything it does
//                        differently from a terminal
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

struct SimPort; // the simulated console behind a port (sim_port_posix.cpp)

// Where a port's CTS and DSR changes come from.
enum LineSource {
    LinesNone,   // no modem lines (a pseudo-terminal): they never change
    LinesIcount, // the driver counts the changes (TIOCGICOUNT)
    LinesModem,  // only the line states can be read (TIOCMGET)
    LinesSim,    // the simulated console's own counts
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

struct SerialPort {
    int fd = -1;
    int controlFd = -1; // eventfd: the mask changed, or the port is closing
    SimPort* sim = nullptr;
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
bool readLineCounts(SerialPort* port, LineCounts* counts);

// ---- the line watcher (line_watch_posix.cpp)

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

// ---- the simulated console's port (sim_port_posix.cpp)

// Opens the simulated console that the name's options describe behind port;
// false with *error on failure.
bool simPortOpen(SerialPort* port, const char* name, uint32_t* error);
void simPortClose(SerialPort* port);
// Its line settings are a record; the speed paces the console's writes.
int simPortGetLine(SerialPort* port, LineSettings* settings);
int simPortSetLine(SerialPort* port, const LineSettings* settings);
uint32_t simPortModem(SerialPort* port); // MsCtsOn | MsDsrOn
void simPortLineCounts(SerialPort* port, LineCounts* counts);
// Readable (an eventfd) after any line change; the reader takes its count.
int simPortLineFd(SerialPort* port);
// Its end of the line is a stream socket: a write that must not raise SIGPIPE.
ssize_t simPortSend(SerialPort* port, const uint8_t* bytes, size_t count);
