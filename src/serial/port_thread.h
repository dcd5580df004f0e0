// The port thread: line events, stored peer packets and the idle tick.
#pragma once

#include <cstdint>

int portThreadMain();
void onCommEvent(uint32_t events);
void onPortIdle();
// Milliseconds from now until the next thing due without an event: a paced
// write, the console time-out, the counters' refresh; 0 when one is due,
// kNoTimeout when none is.
uint32_t msUntilDue(uint32_t now);
// The port thread's wait for it: at least portWaitMs ("Increase Port Time"
// makes it 20), and a turn that is due again within the millisecond of the
// last idle turn waits that long too.
uint32_t portWaitTimeout(uint32_t now);
void exchangeLargePacket();
int writeFillerPacket(uint32_t size);
