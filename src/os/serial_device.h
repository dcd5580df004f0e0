// The serial device as the program uses it: the operations of the Windows
// communications API, under names of our own. Defined once per platform
// (win32/, posix/) and by the tests' device double.
#pragma once

#include <cstdint>

#include "os/types.h"

struct SerialPort;  // an open device
struct WakeEvent;

// Line events (the event mask and the event set of a wait).
constexpr uint32_t EvRxChar = 1; // a character arrived
constexpr uint32_t EvCts = 8;    // the CTS input changed (the console's RTS)
constexpr uint32_t EvDsr = 16;   // the DSR input changed (the console's DTR)

// Modem status bits.
constexpr uint32_t MsCtsOn = 0x10;
constexpr uint32_t MsDsrOn = 0x20;

// Line-error bits, in the Windows CE_ encoding.
constexpr uint32_t CeRxOver = 0x01;
constexpr uint32_t CeOverrun = 0x02;
constexpr uint32_t CeRxParity = 0x04;
constexpr uint32_t CeFrame = 0x08;
constexpr uint32_t CeBreak = 0x10;

// The line settings that the program changes; the device keeps the rest.
struct LineSettings {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;   // 0 = none
    uint8_t stopBits; // 0 = one stop bit
};

// Opens the named device exclusively, only if it exists, ready for a line-event
// wait to stay outstanding while other operations run. Null on failure, with the
// system's error code in *error.
SerialPort* serialOpen(const char* name, uint32_t* error);
void serialSetQueues(SerialPort* port, uint32_t inBytes, uint32_t outBytes);
int serialGetLine(SerialPort* port, LineSettings* settings);
int serialSetLine(SerialPort* port, const LineSettings* settings);
int serialGetTimeouts(SerialPort* port, CommTimeouts* timeouts);
int serialSetTimeouts(SerialPort* port, const CommTimeouts* timeouts);
void serialClose(SerialPort* port);

// Synchronous read and write, bounded by the port's time-outs. 1 on success with
// the count in *done (a read may take 0 bytes), 0 on failure.
int serialRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done);
int serialWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done);

// Reads and clears the line-error bits, and the bytes waiting in the input queue.
int serialClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue);
int serialModemStatus(SerialPort* port, uint32_t* status);
// Chooses the events that a wait reports; ends an outstanding wait with an empty set.
int serialSetMask(SerialPort* port, uint32_t mask);

// The port thread's line-event wait. A LineWait is the thread's manual-reset
// wait event together with its outstanding wait.
struct LineWait;
LineWait* lineWaitCreate();
void lineWaitClose(LineWait* wait);

enum WaitStart { WaitFailed = 0, WaitDone = 1, WaitPending = 2 };
// Starts a wait for one of the masked events: WaitDone with the events at once,
// WaitPending, or WaitFailed with the system error code.
int serialWaitEvent(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error);
// The result of a pending wait that has ended, asked without waiting: 1 with the
// events, or 0 with the error code (kPortClosedError once the port was closed).
int serialWaitResult(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error);

constexpr uint32_t kWaitTimeout = 258;
// Waits for the wait event (0) or packetEvent (1) until clockMs() has reached
// fromMs + timeoutMs, never before (kNoTimeout: no limit); fromMs is a clock
// value read just before. When both are signalled it returns 0 and packetEvent
// stays signalled; returning 1 resets it. kWaitTimeout when the time passed;
// anything else is a failure (*error).
uint32_t waitLineOrPacket(LineWait* wait, WakeEvent* packetEvent, uint32_t fromMs,
                          uint32_t timeoutMs, uint32_t* error);

// Makes the outstanding and every later wait on the port end, its result query
// failing with kPortClosedError, so that the port thread ends silently before the
// port is closed.
void serialEndWaits(SerialPort* port);
// 1 once serialEndWaits has been called for the port, whether or not the device
// ended the outstanding wait.
int serialClosing(SerialPort* port);

// How the port learns of CTS and DSR changes, for the log ("waited for ...",
// "polled ..."), or null where there is nothing to say.
const char* serialLineMethod(SerialPort* port);

// The error code of a wait on a port that has been closed (ERROR_INVALID_HANDLE
// on Windows).
extern const uint32_t kPortClosedError;
