// logPrintf and the counters. The pane belongs to the window thread: the port
// thread's lines and counter writes go through a bounded queue that the window
// thread drains, in order. A full queue makes the port thread wait for room;
// the window thread drains whenever it waits for the port thread (the link
// lock, the end of the port thread), so that wait always ends.
#include "ui/log.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "os/pane.h"

namespace {

struct HandOff {
    int counterId; // 0 for a log text
    uint32_t value;
    char text[kLogBufferSize];
};

constexpr int kQueueSize = 64;
HandOff queue[kQueueSize];
int queueHead = 0;  // next to deliver
int queueCount = 0;
std::mutex queueMutex;
std::condition_variable queueRoom;
std::atomic<std::thread::id> windowThread{};

// The port thread's side: wait for room, then queue.
void handOver(int counterId, uint32_t value, const char* text) {
    bool wasEmpty;
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        queueRoom.wait(lock, [] { return queueCount < kQueueSize; });
        HandOff& h = queue[(queueHead + queueCount) % kQueueSize];
        h.counterId = counterId;
        h.value = value;
        if (text != nullptr) copyText(h.text, sizeof h.text, text);
        wasEmpty = queueCount == 0;
        ++queueCount;
    }
    if (wasEmpty) wakeWindowThread();
}

void apply(const HandOff& h) {
    if (h.counterId == 0) paneAppend(h.text);
    else paneSetCounter(h.counterId, h.value);
}

void writeCounter(int id, uint32_t value) {
    if (onWindowThread()) {
        deliverHandOffs();
        paneSetCounter(id, value);
    } else {
        handOver(id, value, nullptr);
    }
}

} // namespace

void setWindowThread() { windowThread = std::this_thread::get_id(); }

bool onWindowThread() { return windowThread.load() == std::this_thread::get_id(); }

void deliverHandOffs() {
    // One entry at a time, outside the queue's mutex: the pane may take a while.
    static HandOff current;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (queueCount == 0) return;
            current = queue[queueHead];
            queueHead = (queueHead + 1) % kQueueSize;
            --queueCount;
        }
        queueRoom.notify_one();
        apply(current);
    }
}

void logPrintf(const char* format, ...) {
    char text[kLogBufferSize];
    va_list args;
    va_start(args, format);
    formatLog(text, sizeof text, format, args);
    va_end(args);
    if (onWindowThread()) {
        deliverHandOffs();
        paneAppend(text);
    } else {
        handOver(0, 0, text);
    }
}

void clearLog() { paneClear(); }

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

void refreshStatistics(uint32_t now) {
    static const int ids[10] = {IDC_LOCAL_RECVD,  IDC_LOCAL_SENT, IDC_LOCAL_STORED, IDC_REMOTE_RECVD,
                                IDC_REMOTE_SENT,  IDC_REMOTE_STORED, IDC_PING,      IDC_SIZE,
                                IDC_TFR_STAT,     IDC_ERRORS};
    LinkLock lock;
    StatsDisplay& d = linkState.stats;
    if (!linkState.psxActive) return;
    if (now - d.lastStatsRefresh <= 250) return;
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
