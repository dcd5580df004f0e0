// The log pane and the ten counters below it.
#pragma once

#include <cstdint>

// Empties the log pane.
void clearLog();

// Brings the counter fields up to date, at most every 250 ms, while the console
// is active. Port thread, with the time its idle tick read.
void refreshStatistics(uint32_t now);

// The counter fields, in the order a refresh treats them.
constexpr int IDC_LOCAL_RECVD = 1027;
constexpr int IDC_LOCAL_SENT = 1029;
constexpr int IDC_LOCAL_STORED = 1031;
constexpr int IDC_REMOTE_RECVD = 1039;
constexpr int IDC_REMOTE_SENT = 1041;
constexpr int IDC_REMOTE_STORED = 1043;
constexpr int IDC_PING = 1046;
constexpr int IDC_SIZE = 1048;
constexpr int IDC_TFR_STAT = 1050;
constexpr int IDC_ERRORS = 1052;

// The ten source values and the ten shown values, in display order.
void statisticsValues(uint32_t values[10]);
void statisticsShown(uint32_t shown[10]);
