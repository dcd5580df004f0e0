// The link core's side of the serial line: capture into LocalRing, paced
// delivery from RemoteRing. Port thread only.
#pragma once

#include <cstdint>

struct SerialPort;

// The port the calling thread works on: the port thread binds the port it was
// started with (null unbinds), and then never reaches another. On any other
// thread it is the port currently open.
void bindPortToThread(SerialPort* port);
SerialPort* portOfThread();
// Chooses the line events that the port's waits report. On the port thread the
// change is kept until applyLineMask, which it calls once the link lock is
// released; elsewhere it is made at once.
void setLineMask(uint32_t mask);
void applyLineMask();
// RemoteRing was reset (resetRemoteSide, under the link lock).
void noteRemoteReset();

int32_t readPsxPacket(int32_t requested);
int32_t deliverRemotePacket();
int32_t mayWriteNow(uint32_t now);
// Milliseconds from now until the pacing rule lets the next waiting peer packet
// go: 0 when it may go now, kNoTimeout when nothing waits or only a sign from
// the console (a line event) can let it go.
uint32_t msUntilWriteAllowed(uint32_t now);
// The port's line-error bits, read and cleared: the number of a read or write warning.
uint32_t queryCommErrors(SerialPort* port);
