// (being written)
#include "core/exchange.h"
int sendStoredPackets() { return 1; }
void storeRemotePacket(const uint8_t*, int) {}
