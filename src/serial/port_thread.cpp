// (being written)
#include "serial/port_thread.h"
int portThreadMain() { return 0; }
void onCommEvent(uint32_t) {}
void onPortIdle() {}
void exchangeLargePacket() {}
int writeFillerPacket(uint32_t) { return 0; }
