// Warnings that a noisy peer could otherwise repeat without end, from reading
// and filing datagrams. The first five of each kind in a period (a second; five
// for ignored datagrams) are written as they come, so a stray datagram still
// shows its own lines; the rest of the period are counted, and when the period
// has passed one line gives their number. Times come from clockMs, the
// period's end from the panel's warning timer. Window thread only.
#pragma once

#include <cstdint>

#include "os/types.h"

enum RepeatedWarning {
    WarnRecvFailed,
    WarnRecvFromFailed,
    WarnBadSize,
    WarnOldPacket,
    WarnOverflow,
    WarnDuplicate,
    WarnIgnored,
    kRepeatedWarnings
};

constexpr uint32_t kRepeatPeriodMs = 1000;
constexpr uint32_t kIgnoredPeriodMs = 5000;
// Lines of one kind written as they come in one period, before the counting.
constexpr uint32_t kWrittenPerPeriod = 5;

// Logs the warning, or counts it when five of its kind were logged in the
// current period.
void warnRepeated(RepeatedWarning kind, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// A datagram dropped because it did not come from the peer: "WARN: ignored 1
// datagram from 127.0.0.2:40000", then at most one line per period with the count.
void noteIgnoredDatagram(const SocketAddress& from);

// The warning timer has run: the counts of the kinds whose period has passed.
void onWarningTimer();

// Writes every count not written yet (the program is closing).
void flushRepeatedWarnings();

// Every kind quiet again, nothing counted (at start and in tests).
void resetRepeatedWarnings();
