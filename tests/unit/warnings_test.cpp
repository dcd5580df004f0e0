// Warnings a noisy peer repeats: one line a second for each kind, then the
// count of those not written; the error count still counts every one.
#include "core/exchange.h"
#include "core/warnings.h"
#include "doubles/fakes.h"
#include "os/udp.h"

namespace {

class RepeatedWarnings : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        linkState.connectionState = Connected;
        linkState.remote.remoteDelivered = 100; // every packet below is old
    }
    static void oldPackets(int count) {
        Bytes d = datagram(DataPacket, 7);
        for (int i = 0; i < count; ++i) storeRemotePacket(d.data(), int(d.size()));
    }
    // The warning timer runs when it is due, as the window loop runs it.
    static void at(uint32_t now) {
        fakeSystem.now = now;
        if (fakeWindow.warningTimerRunning && int32_t(now - fakeWindow.warningTimerDue) >= 0) {
            fakeWindow.warningTimerRunning = false;
            onWarningTimer();
        }
    }
};

const std::string kOld = "WARN: old UDP packet received\r\n";

TEST_F(RepeatedWarnings, OneLineASecondThenTheCount) {
    // Across the wrap of the millisecond clock.
    for (uint32_t start : {1000u, 0xFFFFFE00u}) {
        SCOPED_TRACE(start);
        SetUp();
        fakeSystem.now = start;
        oldPackets(50);
        EXPECT_EQ(fakeWindow.log, kOld);
        EXPECT_EQ(linkState.errorCount, 50u);
        EXPECT_EQ(fakeWindow.warningTimerDue, start + 1000);

        // Another kind has its own second.
        Bytes d = datagram(DataPacket, 100);
        for (int i = 0; i < 3; ++i) storeRemotePacket(d.data(), int(d.size())); // stored, refused twice
        const std::string kDuplicate = "WARN: UDP packet position already taken, duplicate packet\r\n";
        EXPECT_EQ(fakeWindow.log, kOld + kDuplicate);

        at(start + 999);
        oldPackets(1);
        EXPECT_EQ(fakeWindow.log, kOld + kDuplicate);
        at(start + 1000);
        EXPECT_EQ(fakeWindow.log, kOld + kDuplicate + "WARN: old UDP packet received (50 more times)\r\n" +
                                      "WARN: UDP packet position already taken, duplicate packet "
                                      "(1 more time)\r\n");
        // A flood that goes on: one count line a second.
        fakeWindow.log.clear();
        at(start + 1500);
        oldPackets(20);
        at(start + 2000);
        EXPECT_EQ(fakeWindow.log, "WARN: old UDP packet received (20 more times)\r\n");
        // A second without one: quiet, and the next is written at once.
        at(start + 3000);
        EXPECT_FALSE(fakeWindow.warningTimerRunning);
        at(start + 3100);
        oldPackets(1);
        EXPECT_EQ(fakeWindow.log, "WARN: old UDP packet received (20 more times)\r\n" + kOld);
        EXPECT_EQ(linkState.errorCount, 74u); // 72 old packets, 2 duplicates
    }
}

TEST_F(RepeatedWarnings, NoCountIsLostToALateTimerOrTheClose) {
    oldPackets(3);
    fakeSystem.now += 1500; // the window thread was busy: the timer has not run
    oldPackets(1);
    EXPECT_EQ(fakeWindow.log, kOld + "WARN: old UDP packet received (2 more times)\r\n" + kOld);
    oldPackets(4);
    fakeWindow.log.clear();
    flushRepeatedWarnings();
    EXPECT_EQ(fakeWindow.log, "WARN: old UDP packet received (4 more times)\r\n");
}

} // namespace
