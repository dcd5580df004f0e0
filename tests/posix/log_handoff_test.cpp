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
#include "core/view.h"
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

// Without the Windows edit control the log keeps at most kLogLimit characters:
// an append that would pass the limit empties it first, as a full control does.
TEST_F(LogHandOff, AFullLogIsEmptiedBeforeTheAppendThatWouldPassItsLimit) {
    const std::string chunk(1000, 'x');
    while (std::string(paneText()).size() + chunk.size() <= size_t(kLogLimit)) {
        logPrintf("%s", chunk.c_str());
    }
    size_t held = std::string(paneText()).size();
    logPrintf("%s", std::string(size_t(kLogLimit) - held, 'y').c_str()); // exactly full
    EXPECT_EQ(std::string(paneText()).size(), size_t(kLogLimit));
    logPrintf("next\r\n");
    EXPECT_EQ(std::string(paneText()), "next\r\n");
}

} // namespace
