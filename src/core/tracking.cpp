// (being written)
#include "core/tracking.h"
void trackControlPacket(uint8_t*, int32_t) {}
void trackDataPacket(const uint8_t*, int32_t) {}
