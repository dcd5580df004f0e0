// The Windows serial device layer's own record of an open port and of the port
// thread's line-event wait, shared by its files:
//   serial_device_win32.cpp  the COM port's backend, and the operations of
//                            os/serial_device.h over a port's backend
//   sim_port_win32.cpp       the simulated console's backend
#pragma once

#include <windows.h>

#include <cstdint>

#include "os/serial_device.h"

struct BackendState; // what a backend keeps of its own (the simulated console)

// A backend of the device layer: a COM port or the simulated console, one
// table each, chosen once, by the port's name, when it opens. The operations
// of os/serial_device.h reach the port's backend through it; what every port
// does alike (a closing port's waits) is done before.
struct DeviceBackend {
    SerialPort* (*open)(const char* name, uint32_t* error);
    void (*close)(SerialPort* port);
    void (*setQueues)(SerialPort* port, uint32_t inBytes, uint32_t outBytes);
    int (*getLine)(SerialPort* port, LineSettings* settings);
    int (*setLine)(SerialPort* port, const LineSettings* settings);
    int (*getTimeouts)(SerialPort* port, CommTimeouts* timeouts);
    int (*setTimeouts)(SerialPort* port, const CommTimeouts* timeouts);
    int (*read)(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done);
    int (*write)(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done);
    int (*clearErrors)(SerialPort* port, uint32_t* errors, uint32_t* inQueue);
    int (*modemStatus)(SerialPort* port, uint32_t* status);
    int (*setMask)(SerialPort* port, uint32_t mask);
    int (*waitEvent)(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error);
    int (*waitResult)(SerialPort* port, LineWait* wait, uint32_t* events, uint32_t* error);
    void (*endWaits)(SerialPort* port); // the closing flag is set already
    void (*forgetWait)(LineWait* wait); // a wait record going away
};
extern const DeviceBackend comBackend; // serial_device_win32.cpp
extern const DeviceBackend simBackend; // sim_port_win32.cpp

struct SerialPort {
    const DeviceBackend* backend;
    HANDLE handle;     // the COM device; INVALID_HANDLE_VALUE on the simulated console
    HANDLE readEvent;  // manual reset: the event of each read's overlapped record
    HANDLE writeEvent; // the same for writes
    volatile LONG closing; // set by serialEndWaits
    BackendState* state;   // the backend's own, or null
};

inline bool portClosing(SerialPort* port) {
    return InterlockedCompareExchange(&port->closing, 0, 0) != 0;
}

struct LineWait {
    HANDLE event; // manual reset, not signalled at creation
    OVERLAPPED overlapped;
    DWORD events;     // where WaitCommEvent puts the events that ended the wait
    bool outstanding; // the driver still holds the overlapped record and events
    HANDLE device;    // the port the outstanding wait was started on
    const DeviceBackend* backend; // of the port this wait was last started on
    BackendState* state;          // that backend's, as it keeps it, or null
};

// ---- the simulated console's port (sim_port_win32.cpp)

// "SIM" (the Settings list's entry, with the options given on the command
// line) or "sim" / "sim:<options>".
bool simPortNamed(const char* name);
// The options "SIM" opens the console with: "sim:<options>" (from the command
// line; the Windows front end calls it before any port is opened).
void simPortChoose(const char* options);
