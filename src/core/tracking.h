// Following the console's transfer handshake on every packet, both directions.
#pragma once

#include <cstdint>

void trackControlPacket(uint8_t* bytes, int32_t size);
void trackDataPacket(const uint8_t* bytes, int32_t size);
