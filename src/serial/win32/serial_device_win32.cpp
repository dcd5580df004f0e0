// Serial devices on Windows: the COM port API. The handle is opened for
// overlapped I/O so that the port thread's line-event wait can stay outstanding
// while reads, writes and queries are made; reads and writes wait for their own
// completion, bounded by the port's time-outs: the COM port's backend
// (device_win32.h). At the end, the operations of os/serial_device.h, each over
// the backend chosen when the port opened.
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <new>

#include "os/serial_device.h"
#include "os/system.h"
#include "serial/win32/device_win32.h"

const uint32_t kPortClosedError = ERROR_INVALID_HANDLE;

namespace {

// How long a cancelled line-event wait may take to end before the event mask
// is changed to end it.
constexpr DWORD kCancelWaitMs = 50;

bool isClosing(SerialPort* port) { return InterlockedCompareExchange(&port->closing, 0, 0) != 0; }

// Issues one overlapped read or write and waits for it to complete.
int transfer(SerialPort* port, bool writing, void* buffer, uint32_t count, uint32_t* done) {
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = writing ? port->writeEvent : port->readEvent;
    BOOL ok = writing ? WriteFile(port->handle, buffer, count, nullptr, &ov)
                      : ReadFile(port->handle, buffer, count, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        *done = 0;
        return 0;
    }
    // The count of an overlapped call comes from its result, even when the call
    // completed at once.
    DWORD n = 0;
    ok = GetOverlappedResult(port->handle, &ov, &n, TRUE);
    *done = n;
    // A call that ran into the port's time-out has succeeded with what it
    // moved; Windows says so, but Wine fails it with ERROR_TIMEOUT.
    if (!ok && GetLastError() == ERROR_TIMEOUT) ok = TRUE;
    return ok ? 1 : 0;
}

// The device's DCB as it reports it.
int readDcb(SerialPort* port, DCB* dcb) {
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(port->handle, dcb) ? 1 : 0;
}

// The driver writes a wait's result into its record when the wait ends: end an
// outstanding wait and take that result, so that the record may go. Called by
// the thread that started the wait, as CancelIo reaches only the calling
// thread's requests; a driver that ignores it (Wine's among them) ends the wait
// on a change of the event mask.
void endOutstandingWait(LineWait* wait) {
    if (!wait->outstanding) return;
    CancelIo(wait->device);
    if (WaitForSingleObject(wait->event, kCancelWaitMs) != WAIT_OBJECT_0) {
        DWORD mask = 0;
        GetCommMask(wait->device, &mask);
        SetCommMask(wait->device, mask);
    }
    DWORD n = 0;
    GetOverlappedResult(wait->device, &wait->overlapped, &n, TRUE);
    wait->outstanding = false;
}

SerialPort* comOpen(const char* name, uint32_t* error) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    SerialPort* port = new (std::nothrow) SerialPort;
    HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (port == nullptr || readEvent == nullptr || writeEvent == nullptr) {
        *error = port == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        if (readEvent != nullptr) CloseHandle(readEvent);
        if (writeEvent != nullptr) CloseHandle(writeEvent);
        delete port;
        CloseHandle(h);
        return nullptr;
    }
    port->handle = h;
    port->readEvent = readEvent;
    port->writeEvent = writeEvent;
    port->closing = 0;
    port->state = nullptr;
    return port;
}

void comSetQueues(SerialPort* port, uint32_t inBytes, uint32_t outBytes) {
    SetupComm(port->handle, inBytes, outBytes);
}

int comGetLine(SerialPort* port, LineSettings* settings) {
    DCB dcb;
    if (!readDcb(port, &dcb)) return 0;
    settings->baudRate = dcb.BaudRate;
    settings->byteSize = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stopBits = dcb.StopBits;
    return 1;
}

// The device's whole DCB as it reports it, with the four fields changed.
int comSetLine(SerialPort* port, const LineSettings* settings) {
    DCB dcb;
    if (!readDcb(port, &dcb)) return 0;
    dcb.BaudRate = settings->baudRate;
    dcb.ByteSize = settings->byteSize;
    dcb.Parity = settings->parity;
    dcb.StopBits = settings->stopBits;
    return SetCommState(port->handle, &dcb) ? 1 : 0;
}

int comGetTimeouts(SerialPort* port, CommTimeouts* timeouts) {
    COMMTIMEOUTS t;
    ZeroMemory(&t, sizeof t);
    if (!GetCommTimeouts(port->handle, &t)) return 0;
    timeouts->readIntervalTimeout = t.ReadIntervalTimeout;
    timeouts->readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    timeouts->writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return 1;
}

int comSetTimeouts(SerialPort* port, const CommTimeouts* timeouts) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts->readIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts->readTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts->readTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts->writeTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts->writeTotalTimeoutConstant;
    return SetCommTimeouts(port->handle, &t) ? 1 : 0;
}

void comClose(SerialPort* port) {
    CloseHandle(port->handle);
    CloseHandle(port->readEvent);
    CloseHandle(port->writeEvent);
    delete port;
}

int comRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done) {
    return transfer(port, false, buffer, count, done);
}

int comWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done) {
    return transfer(port, true, const_cast<uint8_t*>(buffer), count, done);
}

int comClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue) {
    DWORD e = 0;
    COMSTAT stat;
    ZeroMemory(&stat, sizeof stat);
    BOOL ok = ClearCommError(port->handle, &e, &stat);
    *errors = e;
    *inQueue = stat.cbInQue;
    return ok ? 1 : 0;
}

int comModemStatus(SerialPort* port, uint32_t* status) {
    DWORD s = 0;
    BOOL ok = GetCommModemStatus(port->handle, &s);
    *status = s;
    return ok ? 1 : 0;
}

int comSetMask(SerialPort* port, uint32_t mask) {
    return SetCommMask(port->handle, mask) ? 1 : 0;
}

} // namespace

LineWait* lineWaitCreate() {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    LineWait* wait = new (std::nothrow) LineWait;
    if (wait == nullptr) {
        CloseHandle(event);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    wait->event = event;
    ZeroMemory(&wait->overlapped, sizeof wait->overlapped);
    wait->events = 0;
    wait->outstanding = false;
    wait->device = INVALID_HANDLE_VALUE;
    wait->backend = nullptr;
    wait->state = nullptr;
    return wait;
}

void lineWaitClose(LineWait* wait) {
    if (wait == nullptr) return;
    endOutstandingWait(wait);
    if (wait->backend != nullptr) wait->backend->forgetWait(wait);
    CloseHandle(wait->event);
    delete wait;
}

namespace {

int comWaitEvent(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    // A wait whose result query failed without ending it is ended before its
    // record is used again.
    endOutstandingWait(wait);
    ZeroMemory(&wait->overlapped, sizeof wait->overlapped);
    wait->overlapped.hEvent = wait->event;
    wait->events = 0;
    ResetEvent(wait->event);
    if (WaitCommEvent(port->handle, &wait->events, &wait->overlapped)) {
        *events = wait->events;
        return WaitDone;
    }
    DWORD e = GetLastError();
    if (e != ERROR_IO_PENDING) {
        *error = e;
        return WaitFailed;
    }
    wait->outstanding = true;
    wait->device = port->handle;
    // serialEndWaits may have run between the test before and the start of this
    // wait, too late to end it: end it here.
    if (isClosing(port)) CancelIo(port->handle);
    return WaitPending;
}

int comWaitResult(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    DWORD n = 0;
    if (!GetOverlappedResult(port->handle, &wait->overlapped, &n, FALSE)) {
        DWORD e = GetLastError();
        if (e != ERROR_IO_INCOMPLETE) wait->outstanding = false;
        *error = e;
        return 0;
    }
    wait->outstanding = false;
    *events = wait->events;
    return 1;
}

} // namespace

uint32_t waitLineOrPacket(LineWait* wait, WakeEvent* packetEvent, uint32_t fromMs,
                          uint32_t timeoutMs, uint32_t* error) {
    *error = 0;
    HANDLE handles[2] = {wait->event, reinterpret_cast<HANDLE>(packetEvent)};
    const uint32_t until = fromMs + timeoutMs;
    for (;;) {
        DWORD ms = INFINITE;
        if (timeoutMs != kNoTimeout) {
            const int32_t left = int32_t(until - timeGetTime());
            ms = left > 0 ? DWORD(left) : 0;
        }
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, ms);
        if (r == WAIT_OBJECT_0) return 0;
        if (r == WAIT_OBJECT_0 + 1) return 1;
        if (r == WAIT_TIMEOUT) {
            // A timed wait can end a little before the millisecond clock
            // turns: never report the time-out early.
            if (ms != 0 && int32_t(until - timeGetTime()) > 0) continue;
            return kWaitTimeout;
        }
        *error = GetLastError();
        return r;
    }
}

void serialEndWaits(SerialPort* port) {
    if (port == nullptr) return;
    InterlockedExchange(&port->closing, 1);
    port->backend->endWaits(port);
}

// WaitCommEvent reports the line changes itself.
const char* serialLineMethod(SerialPort*) { return nullptr; }

int serialClosing(SerialPort* port) { return isClosing(port) ? 1 : 0; }

namespace {

// A mask change ends the outstanding wait.
void comEndWaits(SerialPort* port) {
    DWORD mask = 0;
    GetCommMask(port->handle, &mask);
    SetCommMask(port->handle, mask);
}

// lineWaitClose has ended a wait outstanding in the driver already.
void comForgetWait(LineWait*) {}

} // namespace

const DeviceBackend comBackend = {
    comOpen,        comClose,       comSetQueues, comGetLine,    comSetLine,
    comGetTimeouts, comSetTimeouts, comRead,      comWrite,      comClearErrors,
    comModemStatus, comSetMask,     comWaitEvent, comWaitResult, comEndWaits,
    comForgetWait};

// ---- the operations of os/serial_device.h, over the port's backend

SerialPort* serialOpen(const char* name, uint32_t* error) {
    *error = 0;
    const DeviceBackend* backend = simPortNamed(name) ? &simBackend : &comBackend;
    SerialPort* port = backend->open(name, error);
    if (port != nullptr) port->backend = backend;
    return port;
}

void serialClose(SerialPort* port) {
    if (port == nullptr) return;
    port->backend->close(port);
}

void serialSetQueues(SerialPort* port, uint32_t inBytes, uint32_t outBytes) {
    port->backend->setQueues(port, inBytes, outBytes);
}

int serialGetLine(SerialPort* port, LineSettings* settings) {
    return port->backend->getLine(port, settings);
}

int serialSetLine(SerialPort* port, const LineSettings* settings) {
    return port->backend->setLine(port, settings);
}

int serialGetTimeouts(SerialPort* port, CommTimeouts* timeouts) {
    return port->backend->getTimeouts(port, timeouts);
}

int serialSetTimeouts(SerialPort* port, const CommTimeouts* timeouts) {
    return port->backend->setTimeouts(port, timeouts);
}

int serialRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done) {
    return port->backend->read(port, buffer, count, done);
}

int serialWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done) {
    return port->backend->write(port, buffer, count, done);
}

int serialClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue) {
    return port->backend->clearErrors(port, errors, inQueue);
}

int serialModemStatus(SerialPort* port, uint32_t* status) {
    return port->backend->modemStatus(port, status);
}

int serialSetMask(SerialPort* port, uint32_t mask) {
    if (port == nullptr) return 0; // none open: a reset after the port's close
    return port->backend->setMask(port, mask);
}

int serialWaitEvent(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    *events = 0;
    *error = 0;
    if (isClosing(port)) {
        // The port is about to close: the wait ends at once, and its result
        // query reports the closed port.
        SetEvent(wait->event);
        return WaitPending;
    }
    wait->backend = port->backend;
    return port->backend->waitEvent(port, wait, events, error);
}

int serialWaitResult(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error) {
    *events = 0;
    *error = 0;
    if (isClosing(port)) {
        endOutstandingWait(wait);
        SetEvent(wait->event);
        *error = kPortClosedError;
        return 0;
    }
    return port->backend->waitResult(port, wait, events, error);
}
