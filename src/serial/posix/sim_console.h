// The built-in simulated console, reached through the Linux serial device layer
// under the reserved port name "sim" or "sim:<options>". It runs on a thread of
// its own and talks to the device layer over a stream socket pair, with modem
// lines of its own.
#pragma once

#include <cstdint>

struct SimConsole;

// True when the port name selects the simulated console.
bool simConsoleNamed(const char* name);

// Starts a console for the name's options. On success *fd is the PC's end of the
// line (read: bytes the console sent; write: bytes to the console), non-blocking.
// Null when the options are not understood (*error then holds an errno value).
SimConsole* simConsoleOpen(const char* name, int* fd, uint32_t* error);

// The PC's CTS and DSR inputs (the console's RTS and DTR) as MsCtsOn | MsDsrOn.
uint32_t simConsoleModem(SimConsole* console);
// How often each input has changed since the console started.
void simConsoleLineCounts(SimConsole* console, uint32_t* ctsChanges, uint32_t* dsrChanges);
// Readable (an eventfd) after any line change; the reader consumes it.
int simConsoleLineFd(SimConsole* console);

// The line speed the PC set, so the console paces its bytes to it.
void simConsoleSetSpeed(SimConsole* console, uint32_t baudRate);

// Stops the console's thread and releases it (and the console's end of the line).
void simConsoleClose(SimConsole* console);
