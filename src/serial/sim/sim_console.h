// The simulated console as a model: driven by the bytes the PC writes and by a
// clock in microseconds, it writes bytes for the PC and moves its RTS and DTR
// lines. It does nothing between calls and holds no system resource, so a
// transport (a thread behind the serial device layer) or a test with a clock of
// its own can drive it alike.
#pragma once

#include <cstdint>

#include "serial/sim/sim_options.h"

struct SimConsole;

// A console with these options, started at nowUs; title heads its transcript
// (the port name). Null when there is no memory for it.
SimConsole* simCreate(const SimOptions& options, const char* title, uint64_t nowUs);
// Ends the console at nowUs: bytes that made no packet are recorded as such,
// and the transcript is written when log= asked for one.
void simEnd(SimConsole* console, uint64_t nowUs);
void simDestroy(SimConsole* console);

// Does whatever is due at nowUs; returns when something is due next (at most a
// second later). Call it again at that time, or sooner.
uint64_t simStep(SimConsole* console, uint64_t nowUs);
// Bytes from the PC, all arrived at nowUs.
void simReceive(SimConsole* console, const uint8_t* bytes, uint32_t length, uint64_t nowUs);
// The PC has closed its end of the line: what the console writes is lost.
void simLineClosed(SimConsole* console);
// The line speed the PC set (0: 115200); the console's writes take their time
// on the line at it.
void simSetSpeed(SimConsole* console, uint32_t baudRate);

// Takes up to max bytes that the console has written for the PC, in order.
uint32_t simTakeOutput(SimConsole* console, uint8_t* out, uint32_t max);

// Its RTS and DTR (the PC's CTS and DSR), and how often each has changed.
struct SimLines {
    bool rts;
    bool dtr;
    uint32_t rtsChanges;
    uint32_t dtrChanges;
};
SimLines simLines(const SimConsole* console);
