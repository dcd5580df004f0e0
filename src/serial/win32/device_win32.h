// The Windows serial device layer's own record of an open port and of the port
// thread's line-event wait, shared by its files:
//   serial_device_win32.cpp  the COM port API
//   sim_port_win32.cpp       a port on the simulated console: everything it
//                            does differently from a COM port
#pragma once

#include <windows.h>

#include <cstdint>

#include "os/serial_device.h"

struct SimPort; // the simulated console behind a port (sim_port_win32.cpp)

struct SerialPort {
    HANDLE handle;     // the COM device; INVALID_HANDLE_VALUE on the simulated console
    HANDLE readEvent;  // manual reset: the event of each read's overlapped record
    HANDLE writeEvent; // the same for writes
    volatile LONG closing; // set by serialEndWaits
    SimPort* sim;      // the simulated console, or null
};

struct LineWait {
    HANDLE event; // manual reset, not signalled at creation
    OVERLAPPED overlapped;
    DWORD events;     // where WaitCommEvent puts the events that ended the wait
    bool outstanding; // the driver still holds the overlapped record and events
    HANDLE device;    // the port the outstanding wait was started on
    SimPort* sim;     // the simulated console this wait was last started on
};

// ---- the simulated console's port (sim_port_win32.cpp)

// "SIM" (the Settings list's entry, with the options given on the command
// line) or "sim" / "sim:<options>".
bool simPortNamed(const char* name);
// The options "SIM" opens the console with: "sim:<options>" (from the command
// line; the Windows front end calls it before any port is opened).
void simPortChoose(const char* options);
// Opens the simulated console behind a new port; null with *error on failure.
SerialPort* simPortOpen(const char* name, uint32_t* error);
void simPortClose(SerialPort* port);
void simPortSetQueues(SerialPort* port, uint32_t inBytes);
int simPortGetLine(SerialPort* port, LineSettings* settings);
int simPortSetLine(SerialPort* port, const LineSettings* settings);
int simPortGetTimeouts(SerialPort* port, CommTimeouts* timeouts);
int simPortSetTimeouts(SerialPort* port, const CommTimeouts* timeouts);
int simPortRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done);
int simPortWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done);
int simPortClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue);
uint32_t simPortModem(SerialPort* port);
// Also what serialEndWaits does to end the outstanding wait: the mask set again.
void simPortSetMask(SerialPort* port, uint32_t mask);
uint32_t simPortMask(SerialPort* port);
int simPortWaitEvent(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error);
int simPortWaitResult(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error);
// A wait record going away: the console lets go of it.
void simPortForgetWait(LineWait* wait);
