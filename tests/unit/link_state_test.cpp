#include <cstring>

#include "core/link_state.h"
#include "doubles/fakes.h"

namespace {

using LinkStateTest = LinkTest;

TEST_F(LinkStateTest, SlotIsTheLittleEndianImageOfADatagram) {
    PacketSlot slot{};
    slot.type = DataPacket;
    slot.sequence = 0x01020304u;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&slot);
    const uint8_t expected[8] = {4, 0, 0, 0, 4, 3, 2, 1};
    EXPECT_EQ(std::memcmp(bytes, expected, 8), 0);
    EXPECT_EQ(offsetof(PacketSlot, payload), 8u);
    EXPECT_EQ(uint32_t(slot.sequence), 0x01020304u);
    EXPECT_EQ(slotIndex(33), 1);
    EXPECT_EQ(slotIndex(0xFFFFFFFFu), 31);
}

TEST_F(LinkStateTest, StartingValues) {
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_TRUE(linkState.psxSendFlag);
    EXPECT_EQ(linkState.framePeriodMs, 20);
    EXPECT_EQ(linkState.vsyncAdjustIndex, 2);
    EXPECT_EQ(linkState.portWaitMs, 1);
    EXPECT_STREQ(linkState.serialPortName, "COM1");
    EXPECT_EQ(linkState.udpSocket, 0u);
    EXPECT_EQ(linkState.serialPort, nullptr);
}

TEST_F(LinkStateTest, ResetLocalSideClearsCountersAndTouchesTheMaskOnlyDuringATransfer) {
    LocalRing& r = linkState.local;
    r.localCaptured = 40;
    r.localSent = 38;
    r.localStored = 2;
    r.localSendTime[3] = 777;
    r.localSize[3] = 8;
    r.slots[3].payload[0] = 0xAB;
    linkState.transferStage = 5;
    linkState.expectedSize = 10;
    linkState.lastReadTime = 5;
    linkState.lastWriteTime = 6;
    linkState.endMarkerCount = 1;

    resetLocalSide();
    EXPECT_EQ(r.localCaptured + r.localSent + r.localStored, 0u);
    EXPECT_EQ(r.localSendTime[3], 0u);
    EXPECT_EQ(linkState.transferStage + linkState.expectedSize + linkState.endMarkerCount, 0);
    EXPECT_EQ(linkState.lastReadTime + linkState.lastWriteTime, 0u);
    EXPECT_EQ(r.localSize[3], 8);          // sizes and payloads stay
    EXPECT_EQ(r.slots[3].payload[0], 0xAB);
    EXPECT_TRUE(fakeSerial.masks.empty()); // no transfer was running

    linkState.transferActive = true;
    resetLocalSide();
    EXPECT_EQ(fakeSerial.masks, std::vector<uint32_t>{9});
    EXPECT_FALSE(linkState.transferActive);
    EXPECT_TRUE(linkState.psxSendFlag); // not a reset field
}

TEST_F(LinkStateTest, ResetRemoteSideEmptiesSlotsButKeepsPayloadsAndSizes) {
    RemoteRing& r = linkState.remote;
    for (PacketSlot& s : r.slots) s.type = DataPacket;
    r.slots[0].payload[1] = 0x55;
    r.remoteSize[0] = 8;
    r.remoteDelivered = 9;
    r.remoteStored = 3;
    r.remoteReceived = 12;
    clearRemoteSlots();
    for (const PacketSlot& s : r.slots) EXPECT_EQ(uint32_t(s.type), 0u);
    EXPECT_EQ(r.remoteDelivered, 9u); // only the slots
    resetRemoteSide();
    EXPECT_EQ(r.remoteDelivered + r.remoteStored + r.remoteReceived, 0u);
    EXPECT_EQ(r.slots[0].payload[1], 0x55);
    EXPECT_EQ(r.remoteSize[0], 8);
}

TEST_F(LinkStateTest, ClearStatisticsLeavesPacketCountersAndTheirShownCopies) {
    StatsDisplay& d = linkState.stats;
    d = StatsDisplay{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    linkState.pingTotalMs = 70;
    linkState.pingSamples = 3;
    linkState.errorCount = 4;
    linkState.local.localCaptured = 2;
    clearStatistics();
    EXPECT_EQ(linkState.pingTotalMs + linkState.pingSamples + linkState.errorCount, 0u);
    EXPECT_EQ(d.shownPing + d.shownExpectedSize + d.shownTransferStage + d.shownErrorCount, 0u);
    EXPECT_EQ(d.lastStatsRefresh, 1u);
    EXPECT_EQ(d.shownLocalCaptured, 2u);
    EXPECT_EQ(d.shownRemoteStored, 7u);
    EXPECT_EQ(linkState.local.localCaptured, 2u);
}

} // namespace
