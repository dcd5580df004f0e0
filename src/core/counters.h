// The ten counters below the log, in the display's order: Local Packets
// Recv'd, Sent, Stored; Remote Packets Recv'd, Sent, Stored; Ping, Size,
// Tfr Stat, Errors. The core decides when the fields are brought up to date
// (the port thread asks on its idle turns); the front ends only draw them
// (paneSetCounter, core/view.h).
#pragma once

#include <cstdint>

// The ten source values and the ten shown values, in display order.
void statisticsValues(uint32_t values[10]);
void statisticsShown(uint32_t shown[10]);

// Brings the counter fields up to date, at most every 250 ms, while the console
// is active. Port thread, with the time its idle tick read.
void refreshStatistics(uint32_t now);
// Milliseconds from now until that refresh is due: 0 when it is,
// kNoTimeout while the console is not active.
uint32_t msUntilRefresh(uint32_t now);
