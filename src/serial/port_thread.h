// The port thread: line events, stored peer packets and the idle tick.
#pragma once

#include <cstdint>

int portThreadMain();
void onCommEvent(uint32_t events);
void onPortIdle();
void exchangeLargePacket();
int writeFillerPacket(uint32_t size);
