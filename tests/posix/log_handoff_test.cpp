// The port thread's log lines reach the window thread's pane whole and in order,
// and a window thread that waits for the link lock keeps taking them, so a port
// thread that fills the hand-off queue while holding the lock cannot deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "ui/pane.h"
#include "ui/posix/front_end.h"

namespace {

std::string expectedLines(int from, int count) {
    std::string s;
    for (int i = from; i < from + count; ++i) s += "line " + std::to_string(i) + "\r\n";
    return s;
}

class LogHandOff : public ::testing::Test {
protected:
    void SetUp() override {
        setWindowThread();
        deliverHandOffs();
        paneClear();
    }
};

TEST_F(LogHandOff, PortThreadLinesArriveInOrderPastTheQueueSize) {
    std::atomic<bool> done{false};
    std::thread port([&] {
        for (int i = 0; i < 300; ++i) logPrintf("line %i\r\n", i);
        done = true;
    });
    while (!done) deliverHandOffs();
    port.join();
    deliverHandOffs();
    EXPECT_EQ(std::string(paneText()), expectedLines(0, 300));
}

TEST_F(LogHandOff, WindowThreadWaitingForTheLockTakesTheLines) {
    std::atomic<bool> locked{false};
    std::thread port([&] {
        LinkLock lock;
        locked = true;
        for (int i = 0; i < 200; ++i) logPrintf("line %i\r\n", i); // more than the queue holds
    });
    while (!locked) std::this_thread::yield();
    {
        LinkLock lock; // would never be granted if the window thread stopped draining
        logPrintf("window\r\n");
    }
    port.join();
    deliverHandOffs();
    EXPECT_EQ(std::string(paneText()), expectedLines(0, 200) + "window\r\n");
}

} // namespace
