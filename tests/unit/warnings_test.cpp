// Warnings a noisy peer repeats: five lines a second for each kind, then the
// count of those not written; the error count still counts every one.
#include <arpa/inet.h>

#include <functional>

#include "core/exchange.h"
#include "core/protocol.h"
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

std::string times(const std::string& line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

TEST_F(RepeatedWarnings, FiveLinesASecondThenTheCount) {
    // Across the wrap of the millisecond clock.
    for (uint32_t start : {1000u, 0xFFFFFE00u}) {
        SCOPED_TRACE(start);
        SetUp();
        fakeSystem.now = start;
        oldPackets(50);
        EXPECT_EQ(fakeWindow.log, times(kOld, 5));
        EXPECT_EQ(linkState.errorCount, 50u);
        EXPECT_EQ(fakeWindow.warningTimerDue, start + 1000);

        // Another kind has its own second.
        Bytes d = datagram(DataPacket, 100);
        for (int i = 0; i < 7; ++i) storeRemotePacket(d.data(), int(d.size())); // stored, refused 6 times
        const std::string kDuplicate = "WARN: UDP packet position already taken, duplicate packet\r\n";
        EXPECT_EQ(fakeWindow.log, times(kOld, 5) + times(kDuplicate, 5));

        at(start + 999);
        oldPackets(1);
        EXPECT_EQ(fakeWindow.log, times(kOld, 5) + times(kDuplicate, 5));
        at(start + 1000);
        EXPECT_EQ(fakeWindow.log, times(kOld, 5) + times(kDuplicate, 5) +
                                      "WARN: old UDP packet received (46 more times)\r\n" +
                                      "WARN: UDP packet position already taken, duplicate packet "
                                      "(1 more time)\r\n");
        // A flood that goes on: five lines and one count line a second.
        fakeWindow.log.clear();
        at(start + 1500);
        oldPackets(20);
        at(start + 2000);
        EXPECT_EQ(fakeWindow.log,
                  times(kOld, 5) + "WARN: old UDP packet received (15 more times)\r\n");
        // A second without one: quiet, and the next is written at once.
        at(start + 3000);
        EXPECT_FALSE(fakeWindow.warningTimerRunning);
        at(start + 3100);
        oldPackets(1);
        EXPECT_EQ(fakeWindow.log,
                  times(kOld, 5) + "WARN: old UDP packet received (15 more times)\r\n" + kOld);
        EXPECT_EQ(linkState.errorCount, 78u); // 72 old packets, 6 duplicates
    }
}

// A flood of 100,000 stray datagrams of each kind: the first five log their
// own lines, as a single stray one does, then one line a kind counts the rest.
// (Warnings on the peer's packets pass the same limit: the test above.)
TEST_F(RepeatedWarnings, StrayOnesLogTheirOwnLinesAFloodABoundedNumber) {
    auto readOne = [](Bytes data, const char* from = "192.0.2.1") {
        fakeNet.incoming.push_back({std::move(data), inet_addr(from), 3975});
        readDatagram();
    };
    const struct Row {
        ConnectionState state;
        std::function<void()> once;
        std::string lines;
    } rows[] = {
        {Connected, [] { readDatagram(); }, // nothing waits: would block
         "WARN: recv() failed (error #10035)\r\nWARN: bad UDP packet size (-1), expected 74\r\n"},
        {Idle, [&] { readOne(Bytes(9, 0)); }, // longer than the 8 bytes read
         "WARN: recvfrom() failed (error #10040)\r\n"
         "WARN: bad UDP packet size (-1), expected 8\r\n"},
        {Idle, [&] { readOne(Bytes(4, 0)); }, "WARN: bad UDP packet size (4), expected 8\r\n"},
        {Connected, [&] { readOne(datagram(DataPacket, 100), "192.0.2.7"); },
         "WARN: ignored 1 datagram from 192.0.2.7:3975\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines);
        SetUp();
        linkState.connectionState = row.state;
        linkState.remoteAddress = SocketAddress{kAfInet, htons(3975), inet_addr("192.0.2.1")};
        for (int i = 0; i < 100000; ++i) row.once();
        const std::string written = fakeWindow.log;
        at(fakeSystem.now + kIgnoredPeriodMs);
        const std::string counts = fakeWindow.log.substr(written.size());
        EXPECT_EQ(written, times(row.lines, 5));
        EXPECT_EQ(std::count(counts.begin(), counts.end(), '\n'),
                  std::count(row.lines.begin(), row.lines.end(), '\n'));
        EXPECT_NE(counts.find("99995"), std::string::npos) << counts;
    }
}

TEST_F(RepeatedWarnings, NoCountIsLostToALateTimerOrTheClose) {
    oldPackets(7);
    fakeSystem.now += 1500; // the window thread was busy: the timer has not run
    oldPackets(1);
    EXPECT_EQ(fakeWindow.log,
              times(kOld, 5) + "WARN: old UDP packet received (2 more times)\r\n" + kOld);
    oldPackets(8);
    fakeWindow.log.clear();
    flushRepeatedWarnings();
    EXPECT_EQ(fakeWindow.log, "WARN: old UDP packet received (4 more times)\r\n");
}

} // namespace
