// The port thread over the scripted device: each waitLineOrPacket takes the next
// scripted step, and an empty script sets stopPortThread and ticks once more.
#include <cstring>
#include <string>

#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "doubles/fakes.h"
#include "os/system.h"
#include "serial/port_thread.h"
#include "ui/resource.h"

namespace {

using Step = FakeSerial::WaitStep;
const std::string kClosed = "Port thread closed\r\n";

Step lineEvent(uint32_t events, uint32_t advanceMs = 0) {
    Step s{0};
    s.events = events;
    s.advanceMs = advanceMs;
    return s;
}
Step packetSignal() { return Step{1}; }
Step tick(uint32_t advanceMs = 0) {
    Step s{kWaitTimeout};
    s.advanceMs = advanceMs;
    return s;
}
Step failedQuery(uint32_t error) {
    Step s{0};
    s.resultFails = true;
    s.error = error;
    return s;
}
// The window thread closes the port: the wait's result query fails so.
Step closedPort() {
    Step s = failedQuery(kPortClosedError);
    s.closesPort = true;
    return s;
}
Step failedWait(uint32_t error) {
    Step s{0xFFFFFFFFu};
    s.error = error;
    return s;
}

void script(std::initializer_list<Step> steps) {
    for (const Step& s : steps) fakeSerial.waitSteps.push_back(s);
}

Bytes filler(int size) {
    Bytes b(size_t(size), 0);
    b[size_t(size) - 2] = 4;
    b[size_t(size) - 1] = 4;
    return b;
}

class PortThread : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        uint32_t error = 0;
        linkState.serialPort = serialOpen("COM1", &error);
        linkState.packetEvent = wakeEventCreate();
        linkState.udpSocket = 100;
        linkState.remoteAddress = SocketAddress{kAfInet, 0x870F, 0x0100007Fu};
    }
    // Runs the thread until the script runs out, then closes the port: no idle
    // tick after the last step.
    void runThenClose() {
        fakeSerial.endWaitsCalled = false; // a thread on a port open anew
        fakeSerial.waitSteps.push_back(closedPort());
        EXPECT_EQ(portThreadMain(), 0);
        EXPECT_EQ(fakeSerial.waitEventsClosed, 1);
        EXPECT_TRUE(fakeSerial.waitSteps.empty());
    }
    // Runs the thread to its end; true when it ended in order.
    bool run() {
        EXPECT_EQ(portThreadMain(), 0);
        EXPECT_EQ(takePortLost(), nullptr);
        EXPECT_EQ(fakeSerial.waitEventsCreated, 1);
        EXPECT_EQ(fakeSerial.waitEventsClosed, 1);
        return endsWith(fakeWindow.log, kClosed);
    }
    static bool endsWith(const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    }
    static int count(const std::string& s, const std::string& part) {
        int n = 0;
        for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
        return n;
    }
};

TEST_F(PortThread, ReceivedCharactersAreCapturedAndSentWhileConnected) {
    Bytes packet = controlPacket(0x43, 0x00, 0x01, 0x01);
    feed(packet);
    storeRemote(0, {1});
    linkState.connectionState = Connected;
    // A line event and a stored peer packet together: the line event comes first.
    script({lineEvent(EvRxChar), packetSignal()});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeSerial.masks.front(), EvRxChar | EvCts);
    EXPECT_EQ(fakeSerial.readCounts.front(), 8u);
    EXPECT_EQ(fakeSerial.io.substr(0, 2), "rw");
    EXPECT_EQ(linkState.local.localCaptured, 1u);
    ASSERT_EQ(fakeNet.sent.size(), 1u);
    EXPECT_EQ(fakeNet.sent[0].data, datagram(DataPacket, 0, packet));
    EXPECT_EQ(linkState.local.localStored, 0u);
    EXPECT_EQ(fakeWindow.log, kClosed);
    EXPECT_FALSE(linkState.stopPortThread);

    // Not connected: the packet is captured and waits.
    SetUp();
    feed(packet);
    script({lineEvent(EvRxChar)});
    EXPECT_TRUE(run());
    EXPECT_EQ(linkState.local.localStored, 1u);
    EXPECT_TRUE(fakeNet.sent.empty());
}

TEST_F(PortThread, EventSetsOtherThanOneEventDoNothingAndTheWaitIsArmedAgain) {
    feed(controlPacket(0x43, 0, 0, 1));
    fakeSerial.modem = MsCtsOn | MsDsrOn;
    linkState.expectedSize = 4;
    // A wait that completes at once with nothing, then two completed waits with
    // nothing and with a character and a CTS change together.
    fakeSerial.startSteps.push_back({WaitDone, 0, 0});
    script({lineEvent(0), lineEvent(EvRxChar | EvCts), lineEvent(EvCts | EvDsr)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeSerial.waitStarts, 5);
    EXPECT_TRUE(fakeSerial.readCounts.empty());
    EXPECT_TRUE(fakeSerial.writes.empty());
    EXPECT_EQ(fakeSerial.input.size(), 8u);
    EXPECT_EQ(fakeWindow.log, kClosed);
}

TEST_F(PortThread, RtsHighDrainsThePortFiftyBytesAtATime) {
    fakeSerial.modem = MsCtsOn;
    feed(Bytes(120, 0x55));
    linkState.lastReadTime = 777;
    script({lineEvent(EvCts)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, "PlayStation RTS line high\r\n" + kClosed);
    EXPECT_EQ(fakeSerial.readCounts, (std::vector<uint32_t>{50, 50, 50, 50}));
    EXPECT_TRUE(fakeSerial.input.empty());
    EXPECT_EQ(linkState.local.localCaptured, 0u);
    EXPECT_EQ(linkState.local.localStored, 0u);
    EXPECT_EQ(linkState.lastReadTime, 777u);
    EXPECT_EQ(linkState.errorCount, 0u);

    // A failed read ends the drain too.
    SetUp();
    fakeSerial.modem = MsCtsOn;
    feed(Bytes(120, 0x55));
    fakeSerial.readLimits = {50, -1};
    script({lineEvent(EvCts)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeSerial.readCounts.size(), 2u);
    EXPECT_EQ(fakeSerial.input.size(), 70u);
}

TEST_F(PortThread, RtsDropDuringATransferWritesTheLastDeliveredPacketAgain) {
    Bytes packet = transferPacket(10, 0x04, 7);
    enterTransfer(10);
    linkState.psxSendFlag = true;
    storeRemote(0, packet);
    fakeSerial.errors = CeFrame;
    fakeSerial.modem = MsDsrOn; // only CTS counts
    script({packetSignal(), lineEvent(EvCts), packetSignal()});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{packet, packet}));
    EXPECT_EQ(fakeWindow.log, "PlayStation RTS line dropped\r\n" + kClosed);
    EXPECT_EQ(fakeSerial.errors, 0u);
    EXPECT_EQ(linkState.remote.remoteDelivered, 1u);
    EXPECT_EQ(linkState.remote.remoteStored, 0u);

    // Before the second delivery: back in its slot, and the console may be written.
    SetUp();
    enterTransfer(10);
    linkState.psxSendFlag = true;
    storeRemote(0, packet);
    script({packetSignal(), lineEvent(EvCts)});
    runThenClose();
    EXPECT_EQ(linkState.remote.remoteDelivered, 0u);
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
    EXPECT_EQ(uint32_t(linkState.remote.slots[0].type), uint32_t(DataPacket));
    EXPECT_TRUE(linkState.psxSendFlag);
}

TEST_F(PortThread, RtsDropWithoutADeliveredPacketOnlyLogs) {
    // Outside a transfer: the line and the cleared errors, nothing else.
    storeRemote(0, {9});
    fakeSerial.errors = CeOverrun;
    script({packetSignal(), lineEvent(EvCts)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeSerial.writes.size(), 1u);
    EXPECT_EQ(fakeSerial.errors, 0u);
    EXPECT_EQ(linkState.remote.remoteDelivered, 1u);
    EXPECT_EQ(linkState.remote.remoteStored, 0u);
    EXPECT_EQ(fakeWindow.log, "PlayStation RTS line dropped\r\n" + kClosed);

    // In a transfer, with nothing delivered since the last reset.
    SetUp();
    enterTransfer(10);
    linkState.psxSendFlag = false;
    script({lineEvent(EvCts)});
    runThenClose();
    EXPECT_EQ(linkState.remote.remoteDelivered, 0u);
    EXPECT_EQ(linkState.remote.remoteStored, 0u);
    EXPECT_EQ(uint32_t(linkState.remote.slots[31].type), 0u);
    EXPECT_FALSE(linkState.psxSendFlag);
    EXPECT_EQ(fakeWindow.log, "PlayStation RTS line dropped\r\n");

    // In a transfer, when the peer's packet 32 places on already holds the slot.
    SetUp();
    enterTransfer(10);
    linkState.psxSendFlag = true;
    storeRemote(0, transferPacket(10, 0x04, 1));
    script({packetSignal()});
    runThenClose();
    Bytes later = transferPacket(10, 0x04, 2);
    storeRemote(32, later);
    fakeSerial.waitEventsCreated = fakeSerial.waitEventsClosed = 0;
    linkState.psxSendFlag = false;
    script({lineEvent(EvCts)});
    runThenClose();
    EXPECT_EQ(fakeSerial.writes.size(), 1u);
    EXPECT_FALSE(linkState.psxSendFlag);
    EXPECT_EQ(linkState.remote.remoteDelivered, 1u);
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
    EXPECT_EQ(uint32_t(linkState.remote.slots[0].sequence), 32u);
}

TEST_F(PortThread, DsrReadsBeforeWritingUpToEightBytesAndWritesFirstAbove) {
    struct Row {
        int size;
        uint32_t lastRead, lastWrite;
        const char* io;
    };
    // Size 8: the console's packet is read first, which is what lets the write go
    // so soon after the last one. Size 10: the peer's packet goes out first; the
    // console's is read after it.
    for (const Row& r : {Row{8, 990, 995, "rw"}, Row{10, 0, 0, "wr"}}) {
        SCOPED_TRACE(r.size);
        SetUp();
        Bytes peers = transferPacket(r.size, 0x04, 5);
        enterTransfer(r.size);
        linkState.psxSendFlag = false;
        linkState.lastReadTime = r.lastRead;
        linkState.lastWriteTime = r.lastWrite;
        feed(transferPacket(r.size, 0x04, 3));
        storeRemote(0, peers);
        script({lineEvent(EvDsr)});
        runThenClose();
        EXPECT_EQ(fakeSerial.io, r.io);
        EXPECT_EQ(fakeSerial.readCounts, (std::vector<uint32_t>{uint32_t(r.size)}));
        EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{peers}));
        EXPECT_EQ(linkState.local.localCaptured, 1u);
        EXPECT_FALSE(linkState.psxSendFlag);
        EXPECT_EQ(fakeWindow.log, "");
    }

    // Size 10 with nothing the console may be given and nothing waiting at the
    // port: a filler and no read.
    SetUp();
    enterTransfer(10);
    script({lineEvent(EvDsr)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{filler(10)}));
    EXPECT_EQ(fakeSerial.writes[0], (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 4, 4}));
    EXPECT_TRUE(fakeSerial.readCounts.empty());
    EXPECT_FALSE(linkState.psxSendFlag);
    EXPECT_EQ(linkState.lastWriteTime, 0u);
    EXPECT_EQ(linkState.transferStage, 8);
}

TEST_F(PortThread, DsrDuringATransferSendsWhatWasReadWhileConnected) {
    for (int size : {12, 6}) {
        SCOPED_TRACE(size);
        SetUp();
        linkState.connectionState = Connected;
        Bytes mine = transferPacket(size, 0x04, 3);
        enterTransfer(size);
        feed(mine);
        script({lineEvent(EvDsr)});
        EXPECT_TRUE(run());
        ASSERT_EQ(fakeNet.sent.size(), 1u);
        EXPECT_EQ(fakeNet.sent[0].data, datagram(DataPacket, 0, mine));
    }
}

TEST_F(PortThread, FillerPacketsAndTheirFailures) {
    EXPECT_EQ(writeFillerPacket(9), 1);
    EXPECT_EQ(writeFillerPacket(68), 1);
    EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{filler(9), filler(68)}));
    EXPECT_EQ(fakeWindow.log, "");

    fakeSerial.writes.clear();
    fakeSerial.writeLimits = {6, -1};
    fakeSerial.errors = CeFrame | CeOverrun;
    EXPECT_EQ(writeFillerPacket(10), 0);
    EXPECT_EQ(writeFillerPacket(10), 0);
    EXPECT_EQ(fakeWindow.log,
              "WARN: WriteFile() error, 6 of 10 bytes written\r\n"
              "WARN: WriteFile() failed (error #10)\r\n");

    // An announced size beyond a slot: the filler stops at 68 bytes and says so.
    fakeWindow.log.clear();
    fakeSerial.writes.clear();
    EXPECT_EQ(writeFillerPacket(257), 0);
    EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{filler(68)}));
    EXPECT_EQ(fakeWindow.log, "WARN: WriteFile() error, 68 of 257 bytes written\r\n");
}

TEST_F(PortThread, OversizedTransferPacketsNeverPassTheSlotSize) {
    enterTransfer(257);
    feed(Bytes(300, 0x11));
    script({lineEvent(EvDsr)});
    EXPECT_TRUE(run());
    ASSERT_EQ(fakeSerial.writes.size(), 1u);
    EXPECT_EQ(fakeSerial.writes[0].size(), 68u);
    EXPECT_EQ(fakeSerial.readCounts, (std::vector<uint32_t>{68}));
    EXPECT_EQ(fakeWindow.log,
              "WARN: WriteFile() error, 68 of 257 bytes written\r\n"
              "WARN: Bad psx packet size 68, expecting 257\r\n" +
                  kClosed);
    EXPECT_EQ(linkState.errorCount, 1u);
    EXPECT_EQ(linkState.expectedSize, 257);
}

TEST_F(PortThread, CharactersDuringATransferAreLeftAtThePort) {
    enterTransfer(10);
    feed(Bytes(10, 1));
    script({lineEvent(EvRxChar)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, "WARN: DTR line change missed\r\n" + kClosed);
    EXPECT_TRUE(fakeSerial.readCounts.empty());
    EXPECT_EQ(fakeSerial.input.size(), 10u);
}

TEST_F(PortThread, ASilentConsoleTimesOutAfterMoreThan3000Ms) {
    linkState.transferStage = 2;
    linkState.expectedSize = 10;
    linkState.psxActive = true;
    linkState.lastReadTime = 1000; // the clock starts at 1000
    linkState.local.localCaptured = 4;
    linkState.remote.remoteDelivered = 3;
    feed({1, 2, 3});
    fakeSerial.errors = CeBreak;
    script({tick(3000)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, kClosed);
    EXPECT_EQ(linkState.transferStage, 2);
    // The tick at 3000 ms refreshed the counters.
    EXPECT_EQ(fakeWindow.counters[IDC_LOCAL_RECVD], 4u);
    EXPECT_EQ(fakeWindow.counters[IDC_TFR_STAT], 2u);

    fakeWindow.log.clear();
    fakeSerial.waitEventsCreated = fakeSerial.waitEventsClosed = 0;
    fakeWindow.counterWrites.clear();
    linkState.local.localCaptured = 5;
    script({tick(1)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log,
              "No PlayStation packets received, time-out.\r\n"
              "Psx sendflag 1 Bytes at port 3 CommErrors 16\r\n" +
                  kClosed);
    EXPECT_FALSE(linkState.psxActive);
    EXPECT_EQ(linkState.transferStage, 0);
    EXPECT_EQ(linkState.lastReadTime, 0u);
    EXPECT_EQ(linkState.expectedSize, 0);
    EXPECT_EQ(linkState.local.localCaptured, 0u);
    EXPECT_EQ(linkState.remote.remoteDelivered, 0u);
    EXPECT_TRUE(fakeWindow.counterWrites.empty()); // the console is no longer active

    // Never without a packet read, nor outside a handshake.
    for (int stage : {2, 0}) {
        SetUp();
        linkState.transferStage = stage;
        linkState.lastReadTime = stage == 0 ? 1000 : 0;
        script({tick(100000), tick(0x80000000u)});
        EXPECT_TRUE(run());
        EXPECT_EQ(fakeWindow.log, kClosed) << "stage " << stage;
        EXPECT_EQ(linkState.transferStage, stage);
    }
}

TEST_F(PortThread, TheWaitEndsAtTheNextThingDue) {
    const uint32_t now = 10000;
    EXPECT_EQ(msUntilDue(now), kNoTimeout);
    EXPECT_EQ(portWaitTimeout(now), kNoTimeout) << "idle: no time limit";
    linkState.psxActive = true;
    linkState.stats.lastStatsRefresh = now - 100;
    EXPECT_EQ(msUntilDue(now), 151u) << "the counters' refresh";
    linkState.transferStage = 2;
    linkState.lastReadTime = now - 2900;
    EXPECT_EQ(msUntilDue(now), 101u) << "the console time-out";
    storeRemote(0, Bytes(8, 1));
    linkState.psxSendFlag = false;
    linkState.lastWriteTime = now - 5;
    EXPECT_EQ(msUntilDue(now), 15u) << "a paced write";
    EXPECT_EQ(portWaitTimeout(now), 15u);
    linkState.portWaitMs = 20;
    EXPECT_EQ(portWaitTimeout(now), 20u) << "Increase Port Time: the coarsest wait";
}

TEST_F(PortThread, PacedWritesGoWhenTheRuleAllowsAndNotBefore) {
    linkState.psxSendFlag = false;
    linkState.lastWriteTime = 1000 - 5; // the clock starts at 1000
    storeRemote(0, Bytes(8, 1));
    storeRemote(1, Bytes(8, 2));
    Step waitOut{kWaitTimeout};
    waitOut.waitsItOut = true;
    script({waitOut, waitOut});
    runThenClose();
    EXPECT_EQ(fakeSerial.waitTimeouts, (std::vector<uint32_t>{15, 20, kNoTimeout}));
    EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{Bytes(8, 1), Bytes(8, 2)}));
    EXPECT_EQ(linkState.lastWriteTime, 1035u) << "the second write 20 ms after the first";
}

TEST_F(PortThread, AnIdleTurnThatChangedNothingIsNotRepeatedWithinItsMillisecond) {
    storeRemote(0, Bytes(8, 1)); // allowed at once, but every write fails
    fakeSerial.writeLimits = {-1, -1};
    Step waitOut{kWaitTimeout};
    waitOut.waitsItOut = true;
    script({waitOut, waitOut});
    runThenClose();
    EXPECT_EQ(fakeSerial.waitTimeouts, (std::vector<uint32_t>{0, 1, 1}));
    EXPECT_EQ(fakeSystem.now, 1001u);
}

TEST_F(PortThread, AStopFlagSetAtStartEndsTheThreadBeforeAnyWait) {
    linkState.stopPortThread = true;
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, kClosed);
    EXPECT_FALSE(linkState.stopPortThread);
    EXPECT_EQ(fakeSerial.waitStarts, 0);
    EXPECT_EQ(fakeSerial.masks, (std::vector<uint32_t>{EvRxChar | EvCts}));
}

TEST_F(PortThread, AClosedPortEndsTheThreadSilently) {
    script({tick(), closedPort(), lineEvent(EvRxChar)});
    EXPECT_EQ(portThreadMain(), 0);
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_FALSE(linkState.stopPortThread);
    EXPECT_EQ(fakeSerial.waitEventsClosed, 1);
    EXPECT_EQ(fakeSerial.waitSteps.size(), 1u); // nothing after the closed port
    EXPECT_EQ(takePortLost(), nullptr);
}

// A driver that fails the wait as on a closed handle when the device is pulled
// out, while nobody closed it: the device is lost, not the port closed.
TEST_F(PortThread, AnInvalidHandleThatNobodyClosedIsALostDevice) {
    script({tick(), failedQuery(kPortClosedError), lineEvent(EvRxChar)});
    EXPECT_EQ(portThreadMain(), 0);
    EXPECT_EQ(takePortLost(), linkState.serialPort);
}

TEST_F(PortThread, AClosingPortEndsTheThreadAtItsNextTurnThoughTheWaitGoesOn) {
    Step closing = tick();
    closing.closesPort = true; // and the device keeps the wait going: only ticks follow
    script({tick(), closing, tick(), tick()});
    EXPECT_EQ(portThreadMain(), 0);
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_EQ(fakeSerial.waitEventsClosed, 1);
    EXPECT_EQ(fakeSerial.waitSteps.size(), 2u);
}

TEST_F(PortThread, RepeatedFailuresAreLoggedOncePerRunAndPaced) {
    // A wait that will not start: three tries, one warning, a pause each.
    linkState.portWaitMs = 20;
    for (int i = 0; i < 3; ++i) fakeSerial.startSteps.push_back({WaitFailed, 0, 5});
    fakeSerial.startSteps.push_back({WaitDone, 0, 0});
    for (int i = 0; i < 2; ++i) fakeSerial.startSteps.push_back({WaitFailed, 0, 5});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, "WARN: WaitCommEvent() failed (error #5)\r\n"
                              "WARN: WaitCommEvent() failed (error #5)\r\n" +
                                  kClosed);
    EXPECT_EQ(fakeWindow.sleeps, (std::vector<uint32_t>{20, 20, 20, 20, 20}));

    // A result query that keeps failing: each failure ends its wait, and the
    // next turn starts another.
    SetUp();
    script({failedQuery(31), failedQuery(31), failedQuery(31), lineEvent(0), failedQuery(31)});
    EXPECT_TRUE(run());
    EXPECT_EQ(count(fakeWindow.log, "WARN: GetOverlappedResult() failed (error #31)\r\n"), 2);
    EXPECT_EQ(fakeWindow.sleeps, (std::vector<uint32_t>{1, 1, 1, 1}));
    EXPECT_EQ(fakeSerial.waitStarts, 6);

    // A failing two-handle wait; a tick in between starts a new run.
    SetUp();
    script({failedWait(87), failedWait(87), tick(), failedWait(87)});
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, "WARN: WaitForMultipleObjects() failed (error #87)\r\n"
                              "WARN: WaitForMultipleObjects() failed (error #87)\r\n" +
                                  kClosed);
    EXPECT_EQ(fakeWindow.sleeps.size(), 3u);
}

TEST_F(PortThread, TheStopFlagEndsARunOfFailures) {
    for (int i = 0; i < 10; ++i) fakeSerial.startSteps.push_back({WaitFailed, 0, 5});
    fakeWindow.stopAtSleep = 2;
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.log, "WARN: WaitCommEvent() failed (error #5)\r\n" + kClosed);
    EXPECT_EQ(fakeSerial.waitStarts, 2);
    EXPECT_FALSE(linkState.stopPortThread);

    SetUp();
    for (int i = 0; i < 10; ++i) fakeSerial.waitSteps.push_back(failedQuery(31));
    fakeWindow.stopAtSleep = 3;
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.sleeps.size(), 3u);
    EXPECT_EQ(fakeSerial.waitSteps.size(), 7u);
}

// One failed result query (the double's wait then fails for good): a new wait
// is started, and the device's next event is taken.
TEST_F(PortThread, AShortQueryFailureIsRiddenOutByANewWait) {
    feed(controlPacket(0x43, 0, 1, 1));
    script({failedQuery(31), lineEvent(EvRxChar), lineEvent(0)});
    EXPECT_TRUE(run());
    EXPECT_EQ(linkState.local.localCaptured, 1u);
}

TEST_F(PortThread, ALastingFailureEndsTheThreadWithOneLine) {
    // Two seconds of failures at 20 ms are ridden out when the device recovers.
    linkState.portWaitMs = 20;
    for (int i = 0; i < 100; ++i) fakeSerial.waitSteps.push_back(failedQuery(5));
    script({lineEvent(0)});
    for (int i = 0; i < 100; ++i) fakeSerial.waitSteps.push_back(failedWait(5));
    EXPECT_TRUE(run());
    EXPECT_EQ(fakeWindow.sleeps.size(), 200u);

    // One failure more and the device is taken as gone.
    SetUp();
    linkState.portWaitMs = 20;
    for (int i = 0; i < 101; ++i) fakeSerial.waitSteps.push_back(failedQuery(5));
    script({lineEvent(EvRxChar)});
    EXPECT_EQ(portThreadMain(), 0);
    EXPECT_EQ(fakeWindow.log, "WARN: GetOverlappedResult() failed (error #5)\r\n"
                              "WARN: Serial port stopped answering (error #5), port thread ended\r\n");
    EXPECT_EQ(fakeWindow.sleeps.size(), 100u);
    EXPECT_EQ(fakeSerial.waitSteps.size(), 1u);
    EXPECT_EQ(fakeSerial.waitEventsClosed, 1);
    EXPECT_EQ(takePortLost(), linkState.serialPort); // the window thread ends the link

    // The same for a wait that will not start, at 1 ms.
    SetUp();
    for (int i = 0; i < 2001; ++i) fakeSerial.startSteps.push_back({WaitFailed, 0, 19});
    EXPECT_EQ(portThreadMain(), 0);
    EXPECT_EQ(fakeWindow.log, "WARN: WaitCommEvent() failed (error #19)\r\n"
                              "WARN: Serial port stopped answering (error #19), port thread ended\r\n");
    EXPECT_EQ(fakeWindow.sleeps.size(), 2000u);
}

} // namespace
