// The ten counters below the log: their values, what they last showed, and
// when the port thread's idle turn brings the fields up to date.
#include "core/counters.h"

#include <cstring>

#include "core/counter_ids.h"
#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "os/system.h"

namespace {
constexpr uint32_t kRefreshMs = 250; // a refresh needs more than this since the last
} // namespace

void statisticsValues(uint32_t v[10]) {
    LinkLock lock;
    const LinkState& s = linkState;
    v[0] = s.local.localCaptured;
    v[1] = s.local.localSent;
    v[2] = s.local.localStored;
    v[3] = s.remote.remoteReceived;
    v[4] = s.remote.remoteDelivered;
    v[5] = s.remote.remoteStored;
    v[6] = (s.pingTotalMs != 0 && s.pingSamples != 0) ? s.pingTotalMs / s.pingSamples : 0;
    v[7] = uint32_t(s.expectedSize);
    v[8] = uint32_t(s.transferStage);
    v[9] = s.errorCount;
}

void statisticsShown(uint32_t v[10]) {
    LinkLock lock;
    const StatsDisplay& d = linkState.stats;
    const uint32_t shown[10] = {d.shownLocalCaptured,   d.shownLocalSent,    d.shownLocalStored,
                                d.shownRemoteReceived,  d.shownRemoteDelivered,
                                d.shownRemoteStored,    d.shownPing,         d.shownExpectedSize,
                                d.shownTransferStage,   d.shownErrorCount};
    std::memcpy(v, shown, sizeof shown);
}

uint32_t msUntilRefresh(uint32_t now) {
    LinkLock lock;
    if (!linkState.psxActive) return kNoTimeout;
    const uint32_t since = now - linkState.stats.lastStatsRefresh;
    return since > kRefreshMs ? 0 : kRefreshMs + 1 - since;
}

void refreshStatistics(uint32_t now) {
    static const int ids[10] = {IDC_LOCAL_RECVD,  IDC_LOCAL_SENT, IDC_LOCAL_STORED, IDC_REMOTE_RECVD,
                                IDC_REMOTE_SENT,  IDC_REMOTE_STORED, IDC_PING,      IDC_SIZE,
                                IDC_TFR_STAT,     IDC_ERRORS};
    LinkLock lock;
    StatsDisplay& d = linkState.stats;
    if (!linkState.psxActive) return;
    if (now - d.lastStatsRefresh <= kRefreshMs) return;
    d.lastStatsRefresh = now;
    uint32_t* shown[10] = {&d.shownLocalCaptured,  &d.shownLocalSent,     &d.shownLocalStored,
                           &d.shownRemoteReceived, &d.shownRemoteDelivered, &d.shownRemoteStored,
                           &d.shownPing,           &d.shownExpectedSize,  &d.shownTransferStage,
                           &d.shownErrorCount};
    uint32_t values[10];
    statisticsValues(values);
    for (int i = 0; i < 10; ++i) {
        if (values[i] == *shown[i]) continue;
        *shown[i] = values[i];
        writeCounter(ids[i], values[i]);
    }
}
