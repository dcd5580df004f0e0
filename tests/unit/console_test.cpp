#include "core/console.h"
#include "os/system.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "core/link_lock.h"
#include "core/log.h"
#include "doubles/fakes.h"

namespace {

Bytes localPayload(int slot) {
    const uint8_t* p = linkState.local.slots[slot].payload;
    return Bytes(p, p + linkState.local.localSize[slot]);
}

TEST_F(LinkTest, CaptureFilesNumbersAndReportsReadFailures) {
    fakeSystem.now = 4000;
    EXPECT_EQ(readPsxPacket(8), 0);
    fakeSerial.readLimits = {-1};
    fakeSerial.errors = CeFrame | CeOverrun;
    EXPECT_EQ(readPsxPacket(8), 0);
    EXPECT_EQ(fakeWindow.log, "WARN: ReadFile() failed (error #10)\r\n");
    EXPECT_EQ(fakeSerial.errors, 0u) << "the error bits are read and cleared";
    EXPECT_EQ(linkState.local.localCaptured, 0u) << "no number used up";
    EXPECT_EQ(linkState.local.localStored, 0u);
    EXPECT_EQ(linkState.lastReadTime, 0u);

    linkState.psxSendFlag = false;
    feed({1, 2, 3});
    fakeSystem.now = 4321;
    EXPECT_EQ(readPsxPacket(8), 3);
    EXPECT_EQ(localPayload(0), (Bytes{1, 2, 3}));
    EXPECT_EQ(uint32_t(linkState.local.slots[0].type), uint32_t(DataPacket));
    EXPECT_EQ(uint32_t(linkState.local.slots[0].sequence), 0u);
    EXPECT_EQ(linkState.local.localCaptured, 1u);
    EXPECT_EQ(linkState.local.localStored, 1u);
    EXPECT_EQ(linkState.lastReadTime, 4321u);
    EXPECT_TRUE(linkState.psxSendFlag);
    EXPECT_EQ(linkState.errorCount, 0u) << "short packets outside a transfer are fine";
}

TEST_F(LinkTest, CaptureShortAndOversizedTransferReads) {
    enterTransfer(10);
    const Bytes stale = {0, 0, 0, 0, 0, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
    std::memcpy(linkState.local.slots[0].payload, stale.data(), stale.size());
    feed({9, 8, 7, 6, 5});
    EXPECT_EQ(readPsxPacket(10), 10);
    EXPECT_EQ(fakeWindow.log, "WARN: Bad psx packet size 5, expecting 10\r\n");
    EXPECT_EQ(linkState.errorCount, 1u);
    EXPECT_EQ(localPayload(0), (Bytes{9, 8, 7, 6, 5, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9}));

    // A console may announce more than a slot holds: never read past it.
    fakeWindow.log.clear();
    enterTransfer(257);
    feed(Bytes(200, 0x33));
    linkState.local.slots[2].type = 0x77777777u; // the slot after must stay untouched
    EXPECT_EQ(readPsxPacket(257), kMaxPayload);
    EXPECT_LE(fakeSerial.readCounts.back(), uint32_t(kMaxPayload));
    EXPECT_EQ(linkState.local.localSize[1], kMaxPayload);
    EXPECT_EQ(uint32_t(linkState.local.slots[2].type), 0x77777777u);
    EXPECT_EQ(fakeWindow.log, "WARN: Bad psx packet size 68, expecting 257\r\n");
    EXPECT_EQ(linkState.errorCount, 2u);
}

TEST_F(LinkTest, CaptureOverflowDropsEveryWaitingPacket) {
    for (int i = 0; i < 31; ++i) {
        feed({uint8_t(i)});
        ASSERT_EQ(readPsxPacket(8), 1);
    }
    EXPECT_EQ(linkState.local.localStored, 31u);
    EXPECT_EQ(fakeWindow.log, "");

    feed({0x31});
    EXPECT_EQ(readPsxPacket(8), 1);
    EXPECT_EQ(fakeWindow.log, "WARN: PlayStation packet overflow, old packets cleared\r\n");
    EXPECT_EQ(linkState.local.localStored, 0u);
    EXPECT_EQ(linkState.errorCount, 1u);
    EXPECT_EQ(uint32_t(linkState.local.slots[31].sequence), 31u) << "the 32nd is filed all the same";

    // Nothing was sent: the next packet lands where sending resumes.
    feed({0x40});
    EXPECT_EQ(readPsxPacket(8), 1);
    const int next = slotIndex(linkState.local.localSent);
    EXPECT_EQ(next, 0);
    EXPECT_EQ(uint32_t(linkState.local.slots[next].sequence), linkState.local.localSent + 32);
    EXPECT_EQ(localPayload(next), (Bytes{0x40}));
    EXPECT_EQ(linkState.local.localStored, 1u);
}

TEST_F(LinkTest, DeliveryWalksOverMissingNumbersAndWraps) {
    EXPECT_EQ(deliverRemotePacket(), 0) << "nothing stored";

    linkState.remote.remoteDelivered = 5;
    storeRemote(7, {1, 2, 3, 4, 5, 6, 7, 8});
    fakeSystem.now = 7000;
    EXPECT_EQ(deliverRemotePacket(), 1);
    EXPECT_EQ(fakeSerial.writes, (std::vector<Bytes>{{1, 2, 3, 4, 5, 6, 7, 8}}));
    EXPECT_EQ(linkState.remote.remoteDelivered, 8u);
    EXPECT_EQ(linkState.remote.remoteStored, 0u);
    EXPECT_EQ(uint32_t(linkState.remote.slots[7].type), 0u);
    EXPECT_EQ(linkState.lastWriteTime, 7000u);
    EXPECT_FALSE(linkState.psxSendFlag);

    linkState.remote.remoteDelivered = 30;
    storeRemote(32, {0x55});
    linkState.psxSendFlag = true;
    EXPECT_EQ(deliverRemotePacket(), 1);
    EXPECT_EQ(linkState.remote.remoteDelivered, 33u);
    EXPECT_EQ(fakeSerial.writes.back(), (Bytes{0x55}));

    // A count that no slot backs: the walk gives up after one round.
    linkState.remote.remoteStored = 1;
    linkState.psxSendFlag = true;
    EXPECT_EQ(deliverRemotePacket(), 0);
    EXPECT_EQ(fakeSerial.writes.size(), 2u);
    EXPECT_EQ(linkState.remote.remoteDelivered, 33u);
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
}

TEST_F(LinkTest, DeliveryFailuresKeepThePacket) {
    storeRemote(0, {1, 2, 3, 4, 5, 6, 7, 8});
    linkState.lastWriteTime = 900;
    fakeSystem.now = 2000;

    fakeSerial.writeLimits = {-1, 3};
    fakeSerial.errors = CeBreak;
    EXPECT_EQ(deliverRemotePacket(), 0);
    EXPECT_EQ(deliverRemotePacket(), 0);
    EXPECT_EQ(fakeWindow.log,
              "WARN: WriteFile() failed (error #16)\r\n"
              "WARN: WriteFile() error, 3 of 8 bytes written\r\n");
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
    EXPECT_EQ(linkState.remote.remoteDelivered, 0u);
    EXPECT_EQ(linkState.lastWriteTime, 900u);
    EXPECT_TRUE(linkState.psxSendFlag);

    EXPECT_EQ(deliverRemotePacket(), 1);
    EXPECT_EQ(fakeSerial.writes.back(), (Bytes{1, 2, 3, 4, 5, 6, 7, 8})) << "again from the start";

    // A size that no slot holds is never written past the slot.
    storeRemote(1, {9});
    linkState.remote.remoteSize[1] = 257;
    linkState.psxSendFlag = true;
    EXPECT_EQ(deliverRemotePacket(), 1);
    EXPECT_EQ(fakeSerial.writes.back().size(), size_t(kMaxPayload));
}

TEST_F(LinkTest, PacingOutsideATransfer) {
    linkState.psxSendFlag = false;
    linkState.lastReadTime = 900;
    linkState.lastWriteTime = 1000;
    linkState.psxSendFlag = true;
    EXPECT_EQ(mayWriteNow(1000), 1);
    linkState.psxSendFlag = false;
    linkState.lastReadTime = 1001;
    EXPECT_EQ(mayWriteNow(1000), 1) << "a packet read since the last write";

    // Elapsed time is taken across the clock's wrap.
    linkState.lastReadTime = 0;
    linkState.lastWriteTime = 0xFFFFFFF0u;
    EXPECT_EQ(mayWriteNow(3), 0);
    EXPECT_EQ(mayWriteNow(4), 1);
    linkState.framePeriodMs = 16;
    EXPECT_EQ(mayWriteNow(0), 1);
    EXPECT_EQ(mayWriteNow(0xFFFFFFFFu), 0);
}

TEST_F(LinkTest, PacingDuringATransfer) {
    enterTransfer(10);
    linkState.psxSendFlag = false;
    linkState.lastWriteTime = 1000;
    linkState.lastReadTime = 1500;
    EXPECT_EQ(mayWriteNow(1000 + 600000), 0) << "large packets wait for a sign";
    linkState.psxSendFlag = true;
    EXPECT_EQ(mayWriteNow(1000), 1);
    linkState.expectedSize = 257;
    EXPECT_EQ(mayWriteNow(1000), 1);

    linkState.expectedSize = 8;
    linkState.framePeriodMs = 16;
    linkState.vsyncAdjustMs = -2;
    linkState.lastReadTime = 1000;
    EXPECT_EQ(mayWriteNow(1013), 0);
    EXPECT_EQ(mayWriteNow(1014), 1);
    linkState.lastReadTime = 1001;
    EXPECT_EQ(mayWriteNow(1001), 1) << "a packet read since the last write";
    linkState.psxSendFlag = false;
    EXPECT_EQ(mayWriteNow(5000), 0) << "small packets wait for a sign too";

    // A refused write changes nothing and writes nothing.
    storeRemote(0, transferPacket(8, 0));
    EXPECT_EQ(deliverRemotePacket(), 0);
    EXPECT_TRUE(fakeSerial.writes.empty());
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
}

TEST_F(LinkTest, TheWaitForAPacedWriteEndsWhenTheRuleAllowsIt) {
    struct Row {
        int32_t transferSize; // 0: no transfer
        bool flag;
        uint32_t lastRead, now;
        int32_t vsync;
        uint32_t expected;
    };
    // The last write at 1000, a 20 ms frame.
    const Row rows[] = {
        {0, false, 900, 1005, 0, 15},
        {0, false, 900, 1019, 0, 1},
        {0, false, 900, 1020, 0, 0},
        {0, true, 900, 1005, 0, 0},
        {0, false, 1001, 1005, 0, 0},      // read since the last write
        {8, true, 900, 1005, -2, 13},
        {8, true, 900, 1005, 2, 17},
        {8, false, 900, 1005, 0, kNoTimeout}, // only a sign of the console
        {10, false, 900, 1005, 0, kNoTimeout},
    };
    for (const Row& r : rows) {
        resetFakes();
        if (r.transferSize != 0) enterTransfer(r.transferSize);
        storeRemote(0, Bytes(8, 1));
        linkState.psxSendFlag = r.flag;
        linkState.lastReadTime = r.lastRead;
        linkState.lastWriteTime = 1000;
        linkState.vsyncAdjustMs = r.vsync;
        EXPECT_EQ(msUntilWriteAllowed(r.now), r.expected)
            << "size " << r.transferSize << " flag " << r.flag << " now " << r.now;
        if (r.expected != 0 && r.expected != kNoTimeout) {
            EXPECT_EQ(mayWriteNow(r.now + r.expected - 1), 0);
            EXPECT_EQ(mayWriteNow(r.now + r.expected), 1);
        }
    }
    resetFakes();
    EXPECT_EQ(msUntilWriteAllowed(1000), kNoTimeout) << "nothing waits";
}

TEST_F(LinkTest, CaptureAndDeliveryTrackOneHandshake) {
    // Steps alternate between the two directions; each capture is the console's
    // sign that lets the next delivery go.
    auto capture = [](const Bytes& p) {
        feed(p);
        return readPsxPacket(int32_t(p.size()) > 8 ? linkState.expectedSize : 8);
    };
    uint32_t sequence = 0;
    auto deliver = [&sequence](const Bytes& p) {
        storeRemote(sequence++, p);
        return deliverRemotePacket();
    };
    Bytes lastStep = {0xFD, 0x41, 0, 0, 1, 0, 0x02, 0};
    for (int i = 0; i < 7; ++i) lastStep[7] = uint8_t(lastStep[7] + lastStep[size_t(i)]);

    ASSERT_EQ(capture(controlPacket('S', 8, 0)), 8);
    ASSERT_EQ(deliver(controlPacket('A', 0, 1)), 1);
    ASSERT_EQ(capture({1}), 1);
    ASSERT_EQ(deliver({1}), 1);
    ASSERT_EQ(capture(controlPacket('A', 0, 1)), 8);
    ASSERT_EQ(deliver(controlPacket('S', 8, 0)), 1);
    ASSERT_EQ(capture(controlPacket('A', 0, 1)), 8);
    EXPECT_EQ(linkState.transferStage, 7);
    EXPECT_FALSE(linkState.transferActive);
    // A valid A-packet that also reads as an end-marked transfer packet: the
    // step that starts the transfer is not counted as transfer traffic.
    ASSERT_EQ(deliver(lastStep), 1);
    EXPECT_EQ(linkState.transferStage, 8);
    EXPECT_TRUE(linkState.transferActive);
    EXPECT_EQ(linkState.endMarkerCount, 0);
    EXPECT_EQ(linkState.expectedSize, 10);
    EXPECT_EQ(fakeWindow.log, "**Transfer has started **\r\n");
    EXPECT_EQ(fakeSerial.masks, (std::vector<uint32_t>{24}));

    linkState.errorCount = 4;
    ASSERT_EQ(capture(transferPacket(10, 0x02)), 10);
    EXPECT_EQ(linkState.endMarkerCount, 1);
    ASSERT_EQ(deliver(transferPacket(10, 0x02, 1)), 1);
    EXPECT_EQ(linkState.transferStage, 0);
    EXPECT_FALSE(linkState.transferActive);
    EXPECT_EQ(linkState.errorCount, 0u);
    EXPECT_EQ(fakeWindow.log, "**Transfer has started **\r\nTransfer has finished.\r\n");
    EXPECT_EQ(fakeSerial.masks, (std::vector<uint32_t>{24, 9}));
}

TEST_F(LinkTest, CPacketIsMarkedInTheSlotNotOnTheWire) {
    feed(controlPacket('C', 0xBE, 0, 1)); // checksum 0xFF
    ASSERT_EQ(readPsxPacket(8), 8);
    const Bytes captured = localPayload(0);
    EXPECT_EQ(captured[4], 1);
    EXPECT_EQ(captured[7], 0x00);

    // Delivered: the console gets the packet as it came.
    linkState.framePeriodMs = 20;
    storeRemote(0, controlPacket('C', 0, 0, 0));
    ASSERT_EQ(deliverRemotePacket(), 1);
    EXPECT_EQ(fakeSerial.writes.back(), controlPacket('C', 0, 0, 0));
    EXPECT_EQ(linkState.remote.slots[0].payload[4], 1);
    EXPECT_EQ(linkState.framePeriodMs, 16);
}

TEST_F(LinkTest, CaptureAndDeliveryAreWholeAgainstTheWindowThread) {
    // The port thread captures and delivers while the window thread stores peer
    // packets and resets both sides, as a disconnect does.
    constexpr int kTurns = 4000;
    feed(Bytes(size_t(kTurns) * 8, 0x00));
    std::atomic<bool> done{false};
    std::atomic<int> delivered{0};
    std::thread port([&] {
        for (int i = 0; i < kTurns; ++i) {
            readPsxPacket(8);
            delivered += deliverRemotePacket();
        }
        done = true;
    });
    uint32_t next = 0;
    for (int turn = 0; !done; ++turn) {
        {
            LinkLock lock;
            RemoteRing& r = linkState.remote;
            PacketSlot& slot = r.slots[slotIndex(next)];
            if (slot.type == 0) {
                std::memset(slot.payload, int(next & 0xFF), 8);
                slot.sequence = next;
                r.remoteSize[slotIndex(next)] = 8;
                slot.type = DataPacket;
                ++r.remoteStored;
                ++next;
            }
        }
        if (turn % 300 == 299) {
            resetRemoteSide();
            resetLocalSide();
            next = 0;
        }
        deliverHandOffs();
    }
    port.join();
    deliverHandOffs();

    EXPECT_EQ(fakeSerial.writes.size(), size_t(delivered.load()));
    for (const Bytes& w : fakeSerial.writes) {
        ASSERT_EQ(w.size(), 8u);
        EXPECT_EQ(w, Bytes(8, w[0])) << "a packet changed while it was written";
    }
    uint32_t occupied = 0;
    for (const PacketSlot& s : linkState.remote.slots) occupied += s.type != 0 ? 1 : 0;
    EXPECT_EQ(linkState.remote.remoteStored, occupied);
    EXPECT_LE(linkState.local.localStored, 31u);
}

} // namespace
