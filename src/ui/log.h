// The log pane and the ten counters below it.
#pragma once

#include <cstdint>

#include "ui/resource.h"

// Empties the log pane.
void clearLog();

// Brings the counter fields up to date, at most every 250 ms, while the console
// is active. Port thread, with the time its idle tick read.
void refreshStatistics(uint32_t now);

// The ten source values and the ten shown values, in display order.
void statisticsValues(uint32_t values[10]);
void statisticsShown(uint32_t shown[10]);
