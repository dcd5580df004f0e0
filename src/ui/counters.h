// The ten counters below the log, in the display's order: Local Packets
// Recv'd, Sent, Stored; Remote Packets Recv'd, Sent, Stored; Ping, Size,
// Tfr Stat, Errors. Their refresh is a window effect (os/window_effects.h).
#pragma once

#include <cstdint>

// The ten source values and the ten shown values, in display order.
void statisticsValues(uint32_t values[10]);
void statisticsShown(uint32_t shown[10]);
