// A real port thread over a pseudo-terminal pair: the test holds the master side
// (the console) and is itself the window thread, taking the port thread's log
// lines and counters as the Linux loop does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/exchange.h"
#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "fresh_program.h"
#include "os/serial_device.h"
#include "os/system.h"
#include "serial/port_thread.h"
#include "serial/serial_port.h"
#include "ui/posix/front_end.h"

namespace {

// The port thread's wait, counted on its way to the device layer: this
// program is linked with --wrap for it (tests/CMakeLists.txt).
struct WaitCounts {
    std::atomic<int> started{0}; // waits begun
    std::atomic<int> timed{0};   // of those, with a time limit
    std::atomic<int> ended{0};   // of those, ended (by anything)
    void reset() {
        started = 0;
        timed = 0;
        ended = 0;
    }
} waitCounts;

} // namespace

// The wrapper and the device layer's own wait, by their linker names.
extern "C" uint32_t __real__Z16waitLineOrPacketP8LineWaitP9WakeEventjjPj(
    LineWait* wait, WakeEvent* packetEvent, uint32_t fromMs, uint32_t timeoutMs, uint32_t* error);
extern "C" uint32_t __wrap__Z16waitLineOrPacketP8LineWaitP9WakeEventjjPj(
    LineWait* wait, WakeEvent* packetEvent, uint32_t fromMs, uint32_t timeoutMs, uint32_t* error) {
    waitCounts.started += 1;
    if (timeoutMs != kNoTimeout) waitCounts.timed += 1;
    uint32_t woken = __real__Z16waitLineOrPacketP8LineWaitP9WakeEventjjPj(wait, packetEvent, fromMs,
                                                                          timeoutMs, error);
    waitCounts.ended += 1;
    return woken;
}

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const std::string kClosed = "Port thread closed\r\n";
const std::string kClosing = "Closing serial port\r\n";
const std::string kMissed = "WARN: DTR line change missed\r\n";

// A C-packet as a console sends it between transfers (valid checksum).
Bytes consolePacket() {
    Bytes p = {0xFD, 0x43, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00};
    uint8_t sum = 0;
    for (int i = 0; i < 7; ++i) sum = uint8_t(sum + p[size_t(i)]);
    p[7] = sum;
    return p;
}

int count(const std::string& s, const std::string& part) {
    int n = 0;
    for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
    return n;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class PortThreadOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        startFreshProgram();
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        path = ptsname(master);
        copyText(linkState.serialPortName, sizeof linkState.serialPortName, path.c_str());
        ASSERT_EQ(openSerialPort(), 1);
        linkState.packetEvent = wakeEventCreate();
        ASSERT_NE(linkState.packetEvent, nullptr);
    }
    void TearDown() override {
        closeSerialPort();
        deliverHandOffs();
        if (linkState.packetEvent != nullptr) wakeEventClose(linkState.packetEvent);
        linkState.packetEvent = nullptr;
        if (master >= 0) close(master);
        close(slave);
    }
    void startThread() {
        linkState.portThread = threadStart(portThreadMain);
        ASSERT_NE(linkState.portThread, nullptr);
    }
    // The flag, and a wake-up: the thread may be waiting without a time limit.
    static void stopThread() {
        linkState.stopPortThread = true;
        wakeEventSet(linkState.packetEvent);
    }
    void console(const Bytes& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // The window thread's loop, until done() or the time is up (only a failing
    // test waits that long).
    bool windowLoopUntil(const std::function<bool()>& done, int ms = 10000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            deliverHandOffs();
            if (done()) return true;
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    static uint32_t captured() {
        LinkLock lock;
        return linkState.local.localCaptured;
    }
    static std::string log() { return paneText(); }
    std::string opened() const { return "Opening serial port " + path + " ...success\r\n"; }

    int master = -1, slave = -1;
    std::string path;
};

TEST_F(PortThreadOnPty, CapturesWhatTheConsoleSendsAndEndsSilentlyOnClose) {
    startThread();
    Bytes packet = consolePacket();
    console(packet);
    ASSERT_TRUE(windowLoopUntil([] { return captured() == 1; }));
    console({1, 2, 3});
    ASSERT_TRUE(windowLoopUntil([] { return captured() == 2; }));
    {
        LinkLock lock;
        const LocalRing& r = linkState.local;
        EXPECT_EQ(r.localSize[0], 8);
        EXPECT_EQ(Bytes(r.slots[0].payload, r.slots[0].payload + 8), packet);
        EXPECT_EQ(r.localSize[1], 3);
        EXPECT_EQ(r.slots[1].payload[2], 3);
        EXPECT_EQ(r.localStored, 2u); // not connected: both wait
        EXPECT_NE(linkState.lastReadTime, 0u);
        EXPECT_TRUE(linkState.psxActive);
    }

    closeSerialPort();
    EXPECT_EQ(linkState.portThread, nullptr);
    EXPECT_EQ(linkState.serialPort, nullptr);
    EXPECT_FALSE(linkState.stopPortThread);
    EXPECT_EQ(log(), opened() + kClosing);
}

TEST_F(PortThreadOnPty, TheStopFlagEndsTheThreadInOrder) {
    startThread();
    console(consolePacket());
    ASSERT_TRUE(windowLoopUntil([] { return captured() == 1; }));
    stopThread();
    ASSERT_TRUE(windowLoopUntil([] { return count(log(), kClosed) == 1; }));
    closeSerialPort();
    EXPECT_FALSE(linkState.stopPortThread);
    EXPECT_EQ(log(), opened() + kClosed + kClosing);
}

TEST_F(PortThreadOnPty, ShutdownEndsTheThreadOneWayOrTheOther) {
    // The flag and the close at once, as at shutdown: whichever the thread meets
    // first ends it, with at most the one line.
    for (int round = 0; round < 20; ++round) {
        if (round > 0) {
            paneClear();
            ASSERT_EQ(openSerialPort(), 1);
        }
        startThread();
        stopThread();
        closeSerialPort();
        EXPECT_EQ(linkState.portThread, nullptr);
        EXPECT_LE(count(log(), kClosed), 1);
        EXPECT_EQ(count(log(), kClosing), 1);
        linkState.stopPortThread = false;
    }
}

TEST_F(PortThreadOnPty, LinesQueuedWhileTheWindowThreadIsBusyArriveWholeAndInOrder) {
    // Characters during a transfer are left at the port and reported on every
    // wait: a stream of warnings, far more than the hand-off queue holds.
    {
        LinkLock lock;
        linkState.transferActive = true;
    }
    startThread();
    console({1, 2, 3, 4});
    std::this_thread::sleep_for(std::chrono::milliseconds(150)); // busy: nothing taken
    ASSERT_TRUE(windowLoopUntil([] { return count(log(), kMissed) > 200; }));
    {
        LinkLock lock; // taken while the port thread keeps handing lines over
        linkState.transferActive = false;
    }
    ASSERT_TRUE(windowLoopUntil([] { return captured() == 1; }));
    stopThread();
    ASSERT_TRUE(windowLoopUntil([] { return count(log(), kClosed) == 1; }));
    closeSerialPort();

    std::string text = log();
    ASSERT_EQ(text.compare(0, opened().size(), opened()), 0);
    int missed = count(text, kMissed);
    EXPECT_GT(missed, 200);
    std::string body;
    for (int i = 0; i < missed; ++i) body += kMissed;
    EXPECT_EQ(text, opened() + body + kClosed + kClosing);
}

TEST_F(PortThreadOnPty, ALineThatGoesAwayEndsTheThreadWithoutFloodingTheLog) {
    // 20 ms pauses: a hundred of them, not two thousand sleeps of 1 ms that a
    // busy machine may stretch.
    linkState.portWaitMs = 20;
    startThread();
    console(consolePacket());
    ASSERT_TRUE(windowLoopUntil([] { return captured() == 1; }));
    // The other end hangs up, as a pulled adapter does: every wait now fails.
    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    close(master);
    master = -1;
    ASSERT_TRUE(windowLoopUntil([] { return threadWait(linkState.portThread, 0) == 1; }, 30000));
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = cpuSeconds() - cpu0;
    std::printf("[ MEASURE  ] hung-up line: thread ended after %.2f s, %.1f ms CPU\n", seconds,
                cpu * 1000.0);
    deliverHandOffs();
    std::string text = log();
    EXPECT_EQ(count(text, "WARN: GetOverlappedResult() failed (error #5)\r\n"), 1) << text;
    EXPECT_EQ(count(text, "WARN: Serial port stopped answering (error #5), port thread ended\r\n"), 1)
        << text;
    EXPECT_EQ(count(text, "WARN:"), 2) << text;
    EXPECT_GE(seconds, 1.9); // not at the first failure
    closeSerialPort();
    EXPECT_EQ(count(log(), kClosed), 0);
}

// An idle link costs no wake-ups: with nothing due (no console heard, nothing
// paced, not connected) the port thread's one wait has no time limit and does
// not end, whatever portWaitMs says. Counted at the wait itself (below); what
// an idle link costs in processor time the benchmark measures (bench/).
TEST_F(PortThreadOnPty, AnIdleThreadWaitsWithoutATimeLimit) {
    for (int32_t waitMs : {1, 20}) {
        linkState.portWaitMs = waitMs;
        waitCounts.reset();
        startThread();
        ASSERT_TRUE(windowLoopUntil([] { return waitCounts.started.load() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(waitCounts.started.load(), 1) << "portWaitMs " << waitMs;
        EXPECT_EQ(waitCounts.timed.load(), 0) << "portWaitMs " << waitMs;
        EXPECT_EQ(waitCounts.ended.load(), 0) << "portWaitMs " << waitMs;
        closeSerialPort();
        if (waitMs == 1) {
            paneClear();
            ASSERT_EQ(openSerialPort(), 1);
        }
    }
}

// How long the window thread waits for the link lock while the port thread
// captures and delivers as fast as it can: never long. The port thread holds
// the lock through a serial read or write (10 and 30 ms at most); the bound
// leaves a loaded machine room for the port thread to be kept off the processor
// meanwhile, and catches a lock held across a wait or a sleep.
TEST_F(PortThreadOnPty, WindowThreadWaitForTheLinkLockUnderLoad) {
    const double kBoundMs = 500;
    startThread();

    // The console: a packet every 2 ms (a real one sends one a frame), and whatever
    // is written to it taken.
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> bytesToConsole{0};
    std::thread consoleThread([&] {
        Bytes packet = consolePacket();
        uint8_t sink[4096];
        while (!stop) {
            ssize_t w = write(master, packet.data(), packet.size());
            (void)w;
            for (;;) {
                ssize_t r = read(master, sink, sizeof sink);
                if (r <= 0) break;
                bytesToConsole += uint32_t(r);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // The window thread: peer packets stored as datagrams arrive, the ring read;
    // each takes the lock, and each is timed.
    double longestMs = 0;
    auto timed = [&](const std::function<void()>& body) {
        auto t0 = Clock::now();
        body();
        double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (took > longestMs) longestMs = took;
    };
    uint32_t sequence = 0;
    uint8_t datagram[16] = {};
    auto end = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end) {
        deliverHandOffs();
        uint32_t waiting = 0;
        timed([&] {
            LinkLock lock;
            waiting = linkState.remote.remoteStored;
        });
        if (waiting < 16) {
            writeLe32(datagram, DataPacket);
            writeLe32(datagram + 4, sequence);
            datagram[8] = uint8_t(sequence);
            timed([&] { storeRemotePacket(datagram, 9); });
            ++sequence;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    stop = true;
    consoleThread.join();
    uint32_t delivered, capturedCount = captured();
    {
        LinkLock lock;
        delivered = linkState.remote.remoteDelivered;
    }
    closeSerialPort();

    std::printf("[ MEASURE  ] window thread's longest wait for the link lock under load: "
                "%.2f ms (the lock's own record: %lu us); %u packets captured, %u delivered, "
                "%u bytes to the console\n",
                longestMs, longestWindowWaitUs(), capturedCount, delivered, bytesToConsole.load());
    RecordProperty("longest_window_wait_us", std::to_string(long(longestMs * 1000)));
    EXPECT_LT(longestMs, kBoundMs);
    // The wait was measured while packets flowed both ways. (Line events come
    // first: a port thread that falls behind the console delivers little.)
    EXPECT_GT(capturedCount, 20u);
    EXPECT_GT(delivered, 0u);
}

// ---- priorities

std::atomic<bool> portThreadMayEnd{false};
std::atomic<int> portThreadPolicy{-1};

int standInPortThread() {
    while (!portThreadMayEnd) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    portThreadPolicy = sched_getscheduler(0);
    return 0;
}

// In both modes the port thread gets a real-time slot, ahead of the window
// thread (this one), which High Priority raises to -10. (Its nice-value fallback
// cannot be reached here: with the right to lower nice values comes real-time.)
TEST(Priorities, ThePortThreadRunsAheadOfTheWindowThread) {
    const id_t self = id_t(syscall(SYS_gettid));
    const int niceBefore = getpriority(PRIO_PROCESS, self);
    for (bool high : {false, true}) {
        portThreadMayEnd = false;
        ThreadHandle* thread = threadStart(standInPortThread);
        ASSERT_NE(thread, nullptr);
        processSetHighPriority(high);
        threadSetPriority(thread, high ? ThreadPriorityNormal : ThreadPriorityHighest);
        EXPECT_EQ(getpriority(PRIO_PROCESS, self), high ? -10 : 0) << high;
        portThreadMayEnd = true;
        EXPECT_EQ(threadWait(thread, 5000), 1);
        threadRelease(thread);
        EXPECT_EQ(portThreadPolicy, SCHED_RR) << high;
    }
    processSetHighPriority(false);
    setpriority(PRIO_PROCESS, self, niceBefore);
}

} // namespace
