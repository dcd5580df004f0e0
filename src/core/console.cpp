// (being written)
#include "core/console.h"
int32_t readPsxPacket(int32_t) { return 0; }
int32_t deliverRemotePacket() { return 0; }
int32_t mayWriteNow(uint32_t) { return 0; }
