#include "core/link_lock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/log.h"

namespace {
std::recursive_mutex linkMutex;
std::atomic<unsigned long> longestWaitUs{0};

// The window thread sleeps here while it waits for the lock; a release of the
// lock and a new hand-off each count one signal and wake it.
std::mutex signalMutex;
std::condition_variable signalled;
uint64_t signals = 0;

uint64_t signalCount() {
    std::lock_guard<std::mutex> lock(signalMutex);
    return signals;
}

void signalWindowThread() {
    {
        std::lock_guard<std::mutex> lock(signalMutex);
        ++signals;
    }
    signalled.notify_all();
}
} // namespace

LinkLock::LinkLock() {
    if (!onWindowThread()) {
        linkMutex.lock();
        return;
    }
    if (linkMutex.try_lock()) return;
    auto start = std::chrono::steady_clock::now();
    // A signal counted after seen was read is never missed: the wait below
    // returns at once for it.
    for (;;) {
        uint64_t seen = signalCount();
        deliverHandOffs();
        if (linkMutex.try_lock()) break;
        std::unique_lock<std::mutex> lock(signalMutex);
        signalled.wait(lock, [seen] { return signals != seen; });
    }
    auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    unsigned long w = static_cast<unsigned long>(waited);
    unsigned long seen = longestWaitUs.load();
    while (w > seen && !longestWaitUs.compare_exchange_weak(seen, w)) {
    }
}

LinkLock::~LinkLock() {
    linkMutex.unlock();
    signalWindowThread();
}

void handOffWaiting() { signalWindowThread(); }

unsigned long longestWindowWaitUs() { return longestWaitUs.load(); }
