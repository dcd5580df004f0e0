// Data packets over UDP: sending captured packets, filing the peer's.
#pragma once

#include <cstdint>

int sendStoredPackets();
void storeRemotePacket(const uint8_t* datagram, int length);
