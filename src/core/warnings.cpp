// Repeated warnings: the first few of a kind in a period are written as they
// come, the rest of the period counted, and the count written when the period
// ends. A kind whose period ends with nothing counted is quiet again, and its
// next warning is written at once.
#include "core/warnings.h"

#include <cstdarg>

#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "os/system.h"
#include "os/udp.h"

namespace {

struct Run {
    bool active;      // a warning of this kind was written or counted this period
    uint32_t since;   // the period's start: its first line, or the last count line
    uint32_t written; // lines of the kind written as they came in this period
    uint32_t repeats; // counted in this period, not written
};

Run runs[kRepeatedWarnings];

// What the count line names, for each kind but the ignored datagrams.
const char* const kLabels[kRepeatedWarnings] = {
    "recv() failed",
    "recvfrom() failed",
    "bad UDP packet size",
    "old UDP packet received",
    "UDP packet overflow, old packets cleared",
    "UDP packet position already taken, duplicate packet",
    nullptr,
};

// The last sender of an ignored datagram, and whether others came in the period.
SocketAddress ignoredFrom;
bool ignoredOthers = false;

uint32_t periodOf(int kind) { return kind == WarnIgnored ? kIgnoredPeriodMs : kRepeatPeriodMs; }

void writeIgnored(uint32_t count) {
    char address[kAddressTextSize];
    netAddressText(ignoredFrom, address);
    const bool ipv6 = ignoredFrom.family == kAfInet6;
    logPrintf("WARN: ignored %i datagram%s from %s%s%s:%i%s\r\n", int(count), count == 1 ? "" : "s",
              ipv6 ? "[" : "", address, ipv6 ? "]" : "", int(netFromNetworkPort(ignoredFrom.port)),
              ignoredOthers ? " and others" : "");
    ignoredOthers = false;
}

// The count line of a kind; its next period starts now.
void writeRepeats(int kind, uint32_t now) {
    Run& r = runs[kind];
    if (kind == WarnIgnored) writeIgnored(r.repeats);
    else logPrintf("WARN: %s (%i more time%s)\r\n", kLabels[kind], int(r.repeats),
                   r.repeats == 1 ? "" : "s");
    r.repeats = 0;
    r.written = 0;
    r.since = now;
}

// The warning timer, for the soonest end of a period still running.
void armTimer(uint32_t now) {
    bool any = false;
    uint32_t soonest = 0;
    for (int kind = 0; kind < kRepeatedWarnings; ++kind) {
        const Run& r = runs[kind];
        if (!r.active) continue;
        const uint32_t elapsed = now - r.since;
        const uint32_t left = elapsed >= periodOf(kind) ? 0 : periodOf(kind) - elapsed;
        if (!any || left < soonest) soonest = left;
        any = true;
    }
    if (any) warningTimerStart(soonest);
}

// Whether a warning of the kind is written now; if not, it is counted.
bool takeTurn(int kind) {
    const uint32_t now = clockMs();
    Run& r = runs[kind];
    if (r.active && now - r.since < periodOf(kind)) {
        if (r.written < kWrittenPerPeriod) {
            ++r.written;
            return true;
        }
        ++r.repeats;
        return false;
    }
    // The timer may come late (the window thread was busy): the old count first.
    if (r.active && r.repeats > 0) writeRepeats(kind, now);
    r.active = true;
    r.since = now;
    r.written = 1;
    r.repeats = 0;
    armTimer(now);
    return true;
}

} // namespace

void warnRepeated(RepeatedWarning kind, const char* format, ...) {
    if (!takeTurn(kind)) return;
    char text[kLogBufferSize];
    va_list args;
    va_start(args, format);
    formatLog(text, sizeof text, format, args);
    va_end(args);
    logPrintf("%s", text);
}

void noteIgnoredDatagram(const SocketAddress& from) {
    const bool other = !sameEndpoint(from, ignoredFrom);
    if (!takeTurn(WarnIgnored)) {
        ignoredOthers = ignoredOthers || other;
        ignoredFrom = from;
        return;
    }
    ignoredFrom = from;
    ignoredOthers = false;
    writeIgnored(1);
}

void onWarningTimer() {
    const uint32_t now = clockMs();
    for (int kind = 0; kind < kRepeatedWarnings; ++kind) {
        Run& r = runs[kind];
        if (!r.active || now - r.since < periodOf(kind)) continue;
        if (r.repeats > 0) writeRepeats(kind, now);
        else r.active = false;
    }
    armTimer(now);
}

void flushRepeatedWarnings() {
    const uint32_t now = clockMs();
    for (int kind = 0; kind < kRepeatedWarnings; ++kind) {
        if (runs[kind].active && runs[kind].repeats > 0) writeRepeats(kind, now);
    }
}

void resetRepeatedWarnings() {
    for (Run& r : runs) r = Run{false, 0, 0, 0};
    ignoredFrom = SocketAddress{};
    ignoredOthers = false;
}
