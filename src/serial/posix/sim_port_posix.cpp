// The simulated console's backend ("sim" or "sim:<options>"): the console's
// model (serial/sim/) runs on a thread of its own at the other end of a stream
// socket pair, and everything the Linux serial device layer does differently
// for such a port is here (device_posix.h). The console's modem lines and their change counts
// are published for the port thread, with an eventfd signalled on every
// change; its line settings are a record whose speed paces the console.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "os/serial_device.h"
#include "serial/posix/device_posix.h"
#include "serial/sim/sim_console.h"
#include "serial/sim/sim_options.h"

struct BackendState { // the simulated console behind a port
    int fd = -1;     // the console's end of the line
    int lineFd = -1; // eventfd: a line changed
    int stopFd = -1; // eventfd: close
    pthread_t thread{};
    std::atomic<uint32_t> modem{0};
    std::atomic<uint32_t> ctsChanges{0};
    std::atomic<uint32_t> dsrChanges{0};
    std::atomic<uint32_t> baud{0};

    std::mutex lock; // guards line
    LineSettings line{115200, 8, 0, 0};

    // The console's thread only (and the close, once the thread has been joined).
    SimConsole* console = nullptr;
    bool lineOpen = true; // the PC's end is still open
    SimLines published{false, false, 0, 0};
};

namespace {

constexpr size_t kChunk = 512;

uint64_t monoUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

void closeFd(int fd) {
    if (fd >= 0) close(fd);
}

// Puts on the line what the console wrote, then shows its lines: bytes
// written before a line change are on the line before the change is seen.
void publish(BackendState* s) {
    uint8_t bytes[kChunk];
    for (;;) {
        uint32_t n = simTakeOutput(s->console, bytes, sizeof bytes);
        if (n == 0) break;
        uint32_t done = 0;
        while (s->lineOpen && done < n) {
            ssize_t r = send(s->fd, bytes + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r > 0) {
                done += uint32_t(r);
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else {
                break; // the PC does not read (its queue is full) or has gone: bytes are lost
            }
        }
    }
    SimLines l = simLines(s->console);
    if (l.rtsChanges == s->published.rtsChanges && l.dtrChanges == s->published.dtrChanges) return;
    s->published = l;
    s->modem.store((l.rts ? MsCtsOn : 0u) | (l.dtr ? MsDsrOn : 0u));
    s->ctsChanges.store(l.rtsChanges);
    s->dsrChanges.store(l.dtrChanges);
    signalFd(s->lineFd);
}

void readLine(BackendState* s) {
    const uint64_t now = monoUs();
    uint8_t bytes[kChunk];
    while (s->lineOpen) {
        ssize_t r = recv(s->fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (r > 0) {
            simSetSpeed(s->console, s->baud.load());
            simReceive(s->console, bytes, uint32_t(r), now);
            publish(s);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && errno == EAGAIN) {
            return;
        } else {
            s->lineOpen = false; // the PC closed its end
            simLineClosed(s->console);
        }
    }
}

void* consoleMain(void* arg) {
    BackendState* s = static_cast<BackendState*>(arg);
    for (;;) {
        simSetSpeed(s->console, s->baud.load());
        uint64_t next = simStep(s->console, monoUs());
        publish(s);
        uint64_t now = monoUs();
        uint64_t waitUs = next > now ? next - now : 0;
        timespec ts{time_t(waitUs / 1000000u), long(waitUs % 1000000u) * 1000L};
        // Once the PC has closed its end, only the stop is waited for.
        pollfd fds[2] = {{s->stopFd, POLLIN, 0}, {s->lineOpen ? s->fd : -1, POLLIN, 0}};
        int n = ppoll(fds, 2, &ts, nullptr);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) readLine(s);
    }
    return nullptr;
}

bool simPortOpen(SerialPort* port, const char* name, uint32_t* error) {
    SimOptions options;
    if (!simParseOptions(name, &options)) {
        *error = EINVAL;
        return false;
    }
    BackendState* s = new (std::nothrow) BackendState;
    if (s == nullptr) {
        *error = ENOMEM;
        return false;
    }
    int pair[2] = {-1, -1};
    int failure = 0;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        failure = errno;
    } else if (fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK) != 0 ||
               fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK) != 0) {
        failure = errno;
    } else if ((s->lineFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0 ||
               (s->stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0) {
        failure = errno;
    } else if ((s->console = simCreate(options, name, monoUs())) == nullptr) {
        failure = ENOMEM;
    } else {
        s->fd = pair[1];
        int r = pthread_create(&s->thread, nullptr, consoleMain, s);
        if (r != 0) failure = r;
    }
    if (failure != 0) {
        closeFd(pair[0]);
        closeFd(pair[1]);
        closeFd(s->lineFd);
        closeFd(s->stopFd);
        simDestroy(s->console);
        delete s;
        *error = uint32_t(failure);
        return false;
    }
    port->state = s;
    port->fd = pair[0];
    port->lines = LinesSignalled;
    readLineCounts(port, &port->seen);
    return true;
}

void simPortClose(SerialPort* port) {
    BackendState* s = port->state;
    signalFd(s->stopFd);
    pthread_join(s->thread, nullptr);
    simEnd(s->console, monoUs());
    simDestroy(s->console);
    closeFd(s->fd);
    closeFd(s->lineFd);
    closeFd(s->stopFd);
    close(port->fd);
    delete s;
    port->state = nullptr;
}

int simPortGetLine(SerialPort* port, LineSettings* settings) {
    std::lock_guard<std::mutex> guard(port->state->lock);
    *settings = port->state->line;
    return 1;
}

int simPortSetLine(SerialPort* port, const LineSettings* settings) {
    {
        std::lock_guard<std::mutex> guard(port->state->lock);
        port->state->line = *settings;
    }
    port->state->baud.store(settings->baudRate);
    return 1;
}

int simPortModem(SerialPort* port, uint32_t* status) {
    *status = port->state->modem.load();
    return 1;
}

bool simPortLineCounts(SerialPort* port, LineCounts* counts) {
    counts->cts = port->state->ctsChanges.load();
    counts->dsr = port->state->dsrChanges.load();
    return true;
}

int simPortLineFd(SerialPort* port) { return port->state->lineFd; }

ssize_t simPortSend(SerialPort* port, const uint8_t* bytes, size_t count) {
    return send(port->fd, bytes, count, MSG_NOSIGNAL);
}

} // namespace

const DeviceBackend simBackend = {simPortOpen,       simPortClose,  simPortGetLine,
                                  simPortSetLine,    simPortModem,  simPortLineCounts,
                                  simPortLineFd,     simPortSend,   true};
