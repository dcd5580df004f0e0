#include "core/link_lock.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "core/log.h"

namespace {
std::recursive_mutex linkMutex;
std::atomic<unsigned long> longestWaitUs{0};
} // namespace

LinkLock::LinkLock() {
    if (!onWindowThread()) {
        linkMutex.lock();
        return;
    }
    if (linkMutex.try_lock()) return;
    auto start = std::chrono::steady_clock::now();
    // Plain try_lock: ThreadSanitizer does not follow the timed variant.
    while (!linkMutex.try_lock()) {
        deliverHandOffs();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    unsigned long w = static_cast<unsigned long>(waited);
    unsigned long seen = longestWaitUs.load();
    while (w > seen && !longestWaitUs.compare_exchange_weak(seen, w)) {
    }
}

LinkLock::~LinkLock() { linkMutex.unlock(); }

unsigned long longestWindowWaitUs() { return longestWaitUs.load(); }
