// logPrintf and the counter writes. The pane belongs to the window thread: the
// port thread's lines and counter writes go through a bounded queue that the
// window thread drains, in order. A full queue makes the port thread wait for
// room; the window thread drains whenever it waits for the port thread (the
// link lock, the end of the port thread), so that wait always ends.
#include "core/log.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/view.h"

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
    if (wasEmpty) {
        wakeWindowThread();
        handOffWaiting();
    }
}

void apply(const HandOff& h) {
    if (h.counterId == 0) {
        paneAppend(h.text);
    } else {
        paneSetCounter(h.counterId, h.value);
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

void writeCounter(int controlId, uint32_t value) {
    if (onWindowThread()) {
        deliverHandOffs();
        paneSetCounter(controlId, value);
    } else {
        handOver(controlId, value, nullptr);
    }
}

void clearLog() { paneClear(); }
