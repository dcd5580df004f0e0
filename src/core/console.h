// The link core's side of the serial line: capture into LocalRing, paced
// delivery from RemoteRing. Port thread only.
#pragma once

#include <cstdint>

int32_t readPsxPacket(int32_t requested);
int32_t deliverRemotePacket();
int32_t mayWriteNow(uint32_t now);
// Milliseconds from now until the pacing rule lets the next waiting peer packet
// go: 0 when it may go now, kNoTimeout when nothing waits or only a sign from
// the console (a line event) can let it go.
uint32_t msUntilWriteAllowed(uint32_t now);
// The port's line-error bits, read and cleared: the number of a read or write warning.
uint32_t queryCommErrors();
