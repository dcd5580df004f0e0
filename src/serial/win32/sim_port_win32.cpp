// The simulated console's backend ("SIM", or "sim" / "sim:<options>"): the
// console's model (serial/sim/) behind the Windows serial device layer, in the
// program's own process (device_win32.h). The console runs on a thread of its own, stepped by its clock and woken
// by what the PC writes; what it writes goes into an input queue that the port
// thread reads as a COM port's, within the port's time-outs; what the PC writes
// reaches it at once. Its RTS and DTR are the port's CTS and DSR. Line events
// come as from a COM port: only those in the mask; one outstanding wait at a
// time, ended by the first event; an event that comes while no wait is
// outstanding kept for the next wait, which then ends at once; a change of the
// mask ending the outstanding wait with no event and forgetting those kept.
#include <windows.h>

#include <mmsystem.h>

#include <cstring>
#include <new>

#include "serial/sim/sim_console.h"
#include "serial/sim/sim_options.h"
#include "serial/win32/device_win32.h"

namespace {

constexpr uint32_t kQueueBytes = 4096; // the most the input queue can be given
constexpr size_t kNameBytes = 256;

// What "SIM" opens: "sim", or the options given on the command line.
char simChoice[kNameBytes] = "sim";

} // namespace

struct BackendState { // the simulated console behind a port
    CRITICAL_SECTION lock; // guards everything below but the handles
    HANDLE thread;
    HANDLE stop;    // manual reset: the console's thread ends
    HANDLE wake;    // auto reset: the PC wrote, the console has something to do
    HANDLE arrived; // auto reset: bytes came into the input queue
    LARGE_INTEGER frequency;
    SimConsole* console;

    uint8_t queue[kQueueBytes]; // what the console wrote, for the PC to read
    uint32_t head;
    uint32_t count;
    uint32_t room; // the queue size the PC set (SetupComm)
    uint32_t errors;

    uint32_t mask;
    uint32_t kept;  // events that came while no wait was outstanding
    LineWait* wait; // the outstanding wait
    uint32_t modem;
    SimLines published;
    LineSettings line;
    CommTimeouts timeouts;
};

namespace {

class Locked {
  public:
    explicit Locked(BackendState* s) : s_(s) { EnterCriticalSection(&s_->lock); }
    ~Locked() { LeaveCriticalSection(&s_->lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    BackendState* s_;
};

uint64_t nowUs(const BackendState* s) {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const uint64_t ticks = uint64_t(c.QuadPart), f = uint64_t(s->frequency.QuadPart);
    return ticks / f * 1000000u + ticks % f * 1000000u / f;
}

// Milliseconds to wait for a time in microseconds, rounded up.
DWORD msUntil(const BackendState* s, uint64_t at) {
    const uint64_t now = nowUs(s);
    return at > now ? DWORD((at - now + 999) / 1000) : 0;
}

// An event on the line: it ends the outstanding wait, or is kept for the next.
void raise(BackendState* s, uint32_t event) {
    if (!(s->mask & event)) return;
    LineWait* w = s->wait;
    if (w == nullptr) {
        s->kept |= event;
        return;
    }
    s->wait = nullptr;
    w->events = event;
    SetEvent(w->event);
}

// Puts what the console wrote into the input queue, then shows its lines:
// bytes written before a line change are in the queue before it is seen.
// Bytes that find the queue full are lost, as on a COM port.
void publish(BackendState* s) {
    uint8_t bytes[512];
    bool came = false;
    for (uint32_t n; (n = simTakeOutput(s->console, bytes, sizeof bytes)) > 0;) {
        for (uint32_t i = 0; i < n; ++i) {
            if (s->count >= s->room) {
                s->errors |= CE_RXOVER;
                continue;
            }
            s->queue[(s->head + s->count) % kQueueBytes] = bytes[i];
            ++s->count;
            came = true;
        }
    }
    if (came) {
        SetEvent(s->arrived);
        raise(s, EV_RXCHAR);
    }
    const SimLines l = simLines(s->console);
    s->modem = (l.rts ? MS_CTS_ON : 0u) | (l.dtr ? MS_DSR_ON : 0u);
    if (l.rtsChanges != s->published.rtsChanges) raise(s, EV_CTS);
    if (l.dtrChanges != s->published.dtrChanges) raise(s, EV_DSR);
    s->published = l;
}

uint32_t takeQueued(BackendState* s, uint8_t* out, uint32_t max) {
    uint32_t n = s->count < max ? s->count : max;
    for (uint32_t i = 0; i < n; ++i) out[i] = s->queue[(s->head + i) % kQueueBytes];
    s->head = (s->head + n) % kQueueBytes;
    s->count -= n;
    return n;
}

DWORD WINAPI consoleMain(LPVOID arg) {
    BackendState* s = static_cast<BackendState*>(arg);
    HANDLE handles[2] = {s->stop, s->wake};
    for (;;) {
        uint64_t next;
        {
            Locked locked(s);
            simSetSpeed(s->console, s->line.baudRate);
            next = simStep(s->console, nowUs(s));
            publish(s);
        }
        if (WaitForMultipleObjects(2, handles, FALSE, msUntil(s, next)) == WAIT_OBJECT_0) break;
    }
    return 0;
}

void closeHandles(BackendState* s) {
    if (s->stop != nullptr) CloseHandle(s->stop);
    if (s->wake != nullptr) CloseHandle(s->wake);
    if (s->arrived != nullptr) CloseHandle(s->arrived);
}

} // namespace

void simPortChoose(const char* options) {
    size_t n = strlen(options);
    if (n >= kNameBytes) n = kNameBytes - 1;
    memcpy(simChoice, options, n);
    simChoice[n] = '\0';
}

bool simPortNamed(const char* name) { return lstrcmpiA(name, "SIM") == 0 || simConsoleNamed(name); }

namespace {

SerialPort* simPortOpen(const char* name, uint32_t* error) {
    const char* optionText = lstrcmpiA(name, "SIM") == 0 ? simChoice : name;
    SimOptions options;
    if (!simParseOptions(optionText, &options)) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    BackendState* s = new (std::nothrow) BackendState;
    SerialPort* port = new (std::nothrow) SerialPort;
    if (s == nullptr || port == nullptr) {
        delete s;
        delete port;
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    InitializeCriticalSection(&s->lock);
    QueryPerformanceFrequency(&s->frequency);
    s->thread = nullptr;
    s->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    s->arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    s->head = s->count = 0;
    s->room = kQueueBytes;
    s->errors = 0;
    s->mask = s->kept = 0;
    s->wait = nullptr;
    s->modem = 0;
    s->published = SimLines{false, false, 0, 0};
    s->line = LineSettings{115200, 8, 0, 0};
    s->timeouts = CommTimeouts{0, 0, 0, 0, 0};
    s->console = simCreate(options, optionText, nowUs(s));
    uint32_t failure = 0;
    if (s->stop == nullptr || s->wake == nullptr || s->arrived == nullptr) {
        failure = GetLastError();
    } else if (s->console == nullptr) {
        failure = ERROR_NOT_ENOUGH_MEMORY;
    } else if ((s->thread = CreateThread(nullptr, 0, consoleMain, s, 0, nullptr)) == nullptr) {
        failure = GetLastError();
    }
    if (failure != 0) {
        simDestroy(s->console);
        closeHandles(s);
        DeleteCriticalSection(&s->lock);
        delete s;
        delete port;
        *error = failure;
        return nullptr;
    }
    SetThreadPriority(s->thread, THREAD_PRIORITY_HIGHEST);
    port->handle = INVALID_HANDLE_VALUE;
    port->readEvent = nullptr;
    port->writeEvent = nullptr;
    port->closing = 0;
    port->state = s;
    return port;
}

void simPortClose(SerialPort* port) {
    BackendState* s = port->state;
    SetEvent(s->stop);
    WaitForSingleObject(s->thread, INFINITE);
    CloseHandle(s->thread);
    simEnd(s->console, nowUs(s));
    simDestroy(s->console);
    closeHandles(s);
    DeleteCriticalSection(&s->lock);
    delete s;
    delete port;
}

void simPortSetQueues(SerialPort* port, uint32_t inBytes, uint32_t) {
    Locked locked(port->state);
    port->state->room = inBytes > 0 && inBytes < kQueueBytes ? inBytes : kQueueBytes;
}

int simPortGetLine(SerialPort* port, LineSettings* settings) {
    Locked locked(port->state);
    *settings = port->state->line;
    return 1;
}

int simPortSetLine(SerialPort* port, const LineSettings* settings) {
    Locked locked(port->state);
    port->state->line = *settings;
    return 1;
}

int simPortGetTimeouts(SerialPort* port, CommTimeouts* timeouts) {
    Locked locked(port->state);
    *timeouts = port->state->timeouts;
    return 1;
}

int simPortSetTimeouts(SerialPort* port, const CommTimeouts* timeouts) {
    Locked locked(port->state);
    port->state->timeouts = *timeouts;
    return 1;
}

// The COM port's rules: a read ends when count bytes have come, or when the
// total time-out (multiplier * count + constant, if either is set) has run
// out, or when the interval passes after a byte without the next; an interval
// of MAXDWORD with no totals takes what is there, and with a multiplier of
// MAXDWORD and a constant it returns as soon as anything came.
int simPortRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done) {
    BackendState* s = port->state;
    *done = 0;
    CommTimeouts t;
    {
        Locked locked(s);
        t = s->timeouts;
    }
    if (count == 0) return 1;
    const bool immediate = t.readIntervalTimeout == MAXDWORD &&
                           t.readTotalTimeoutMultiplier == 0 && t.readTotalTimeoutConstant == 0;
    const bool firstBytes = t.readIntervalTimeout == MAXDWORD &&
                            t.readTotalTimeoutMultiplier == MAXDWORD &&
                            t.readTotalTimeoutConstant != 0 &&
                            t.readTotalTimeoutConstant != MAXDWORD;
    const bool total = t.readTotalTimeoutMultiplier != 0 || t.readTotalTimeoutConstant != 0;
    const uint64_t totalUs =
        firstBytes ? uint64_t(t.readTotalTimeoutConstant) * 1000u
                   : (uint64_t(t.readTotalTimeoutMultiplier) * count + t.readTotalTimeoutConstant) *
                         1000u;
    const bool interval = t.readIntervalTimeout != 0 && t.readIntervalTimeout != MAXDWORD;

    const uint64_t start = nowUs(s);
    uint64_t lastByte = start;
    uint32_t got = 0;
    for (;;) {
        uint32_t n;
        {
            Locked locked(s);
            n = takeQueued(s, buffer + got, count - got);
        }
        if (n > 0) {
            got += n;
            lastByte = nowUs(s);
        }
        if (got == count || immediate || (firstBytes && got > 0)) break;
        bool bounded = false;
        uint64_t deadline = 0;
        if (total || firstBytes) {
            bounded = true;
            deadline = start + totalUs;
        }
        if (interval && got > 0) {
            const uint64_t gap = lastByte + uint64_t(t.readIntervalTimeout) * 1000u;
            if (!bounded || gap < deadline) deadline = gap;
            bounded = true;
        }
        DWORD waitMs = INFINITE;
        if (bounded) {
            if (nowUs(s) >= deadline) break;
            waitMs = msUntil(s, deadline);
        }
        WaitForSingleObject(s->arrived, waitMs);
    }
    *done = got;
    return 1;
}

// The console takes every byte at once; only its own writes take line time.
int simPortWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done) {
    BackendState* s = port->state;
    {
        Locked locked(s);
        simSetSpeed(s->console, s->line.baudRate);
        simReceive(s->console, buffer, count, nowUs(s));
        publish(s);
    }
    SetEvent(s->wake);
    *done = count;
    return 1;
}

int simPortClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue) {
    Locked locked(port->state);
    *errors = port->state->errors;
    *inQueue = port->state->count;
    port->state->errors = 0;
    return 1;
}

int simPortModem(SerialPort* port, uint32_t* status) {
    Locked locked(port->state);
    *status = port->state->modem;
    return 1;
}

int simPortSetMask(SerialPort* port, uint32_t mask) {
    BackendState* s = port->state;
    Locked locked(s);
    s->mask = mask;
    s->kept = 0;
    if (s->wait != nullptr) {
        s->wait->events = 0;
        SetEvent(s->wait->event);
        s->wait = nullptr;
    }
    return 1;
}

uint32_t simPortMask(SerialPort* port) {
    Locked locked(port->state);
    return port->state->mask;
}

int simPortStartWait(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    BackendState* s = port->state;
    Locked locked(s);
    if (s->wait != nullptr) {
        *error = ERROR_INVALID_PARAMETER; // one wait at a time
        return WaitFailed;
    }
    if (s->kept != 0) {
        *events = s->kept;
        s->kept = 0;
        return WaitDone;
    }
    wait->events = 0;
    wait->state = s;
    ResetEvent(wait->event);
    s->wait = wait;
    return WaitPending;
}

int simPortWaitResult(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    BackendState* s = port->state;
    Locked locked(s);
    if (s->wait == wait) {
        *error = ERROR_IO_INCOMPLETE;
        return 0;
    }
    *events = wait->events;
    return 1;
}

void simPortForgetWait(LineWait* wait) {
    BackendState* s = wait->state;
    if (s == nullptr) return;
    Locked locked(s);
    if (s->wait == wait) s->wait = nullptr;
    wait->state = nullptr;
}

int simPortWaitEvent(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    int started = simPortStartWait(port, wait, events, error);
    // serialEndWaits may have come just before the wait started.
    if (started == WaitPending && portClosing(port)) simPortSetMask(port, simPortMask(port));
    return started;
}

// A change of the mask ends the outstanding wait.
void simPortEndWaits(SerialPort* port) { simPortSetMask(port, simPortMask(port)); }

} // namespace

const DeviceBackend simBackend = {
    simPortOpen,        simPortClose,       simPortSetQueues, simPortGetLine,
    simPortSetLine,     simPortGetTimeouts, simPortSetTimeouts, simPortRead,
    simPortWrite,       simPortClearErrors, simPortModem,     simPortSetMask,
    simPortWaitEvent,   simPortWaitResult,  simPortEndWaits,  simPortForgetWait};
