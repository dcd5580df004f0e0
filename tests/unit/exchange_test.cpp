// Sending captured packets to the peer and filing the peer's packets.
#include <cstring>
#include <vector>

#include "core/exchange.h"
#include "doubles/fakes.h"
#include "os/system.h"
#include "os/udp.h"

namespace {

class ExchangeTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        linkState.udpSocket = 100;
        linkState.remoteAddress = {kAfInet, netToNetworkPort(3975), netParseAddress("127.0.0.2")};
        linkState.connectionState = Connected;
        linkState.packetEvent = wakeEventCreate();
    }

    static void capture(const Bytes& payload) { captureLocal(payload); }

    static void store(uint32_t sequence, const Bytes& payload = {0xAA}) {
        Bytes d = datagram(DataPacket, sequence, payload);
        storeRemotePacket(d.data(), int(d.size()));
    }
};

TEST_F(ExchangeTest, SendsEveryStoredPacketInCaptureOrder) {
    EXPECT_EQ(sendStoredPackets(), 1); // nothing waiting
    EXPECT_TRUE(fakeNet.sent.empty());

    // Start near the end of the ring so the walk wraps.
    linkState.local.localCaptured = linkState.local.localSent = 30;
    capture({1, 2, 3, 4, 5, 6, 7, 8});
    capture({9});
    capture({});
    fakeSystem.now = 5000;
    EXPECT_EQ(sendStoredPackets(), 1);
    ASSERT_EQ(fakeNet.sent.size(), 3u);
    EXPECT_EQ(fakeNet.sent[0].data, datagram(DataPacket, 30, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(fakeNet.sent[1].data, datagram(DataPacket, 31, {9}));
    EXPECT_EQ(fakeNet.sent[2].data, datagram(DataPacket, 32));
    EXPECT_EQ(fakeNet.sent[2].to.address, netParseAddress("127.0.0.2"));
    EXPECT_EQ(fakeNet.sent[2].to.port, netToNetworkPort(3975));
    EXPECT_EQ(linkState.local.localSent, 33u);
    EXPECT_EQ(linkState.local.localStored, 0u);
    EXPECT_EQ(linkState.local.localSendTime[30], 5000u);
    EXPECT_EQ(linkState.local.localSendTime[0], 5000u);
    EXPECT_EQ(fakeWindow.log, "");

    EXPECT_EQ(sendStoredPackets(), 1); // each goes once
    EXPECT_EQ(fakeNet.sent.size(), 3u);
}

TEST_F(ExchangeTest, AFailedSendKeepsThePacketAtTheHead) {
    capture({1});
    capture({2, 2});
    fakeSystem.now = 2000;
    fakeNet.sendResults = {-1};
    fakeNet.lastError = 10065;
    EXPECT_EQ(sendStoredPackets(), 0);
    EXPECT_EQ(fakeWindow.log, "WARN: sendto() failed (error #10065)\r\n");
    EXPECT_EQ(linkState.local.localSent, 0u);
    EXPECT_EQ(linkState.local.localStored, 2u);
    EXPECT_EQ(linkState.local.localSendTime[0], 2000u); // stamped before the send
    EXPECT_EQ(linkState.local.localSendTime[1], 0u);

    // A short count is a failure too; the first packet went, the second stays.
    fakeSystem.now = 2100;
    fakeNet.sendResults = {9, 7};
    fakeWindow.log.clear();
    EXPECT_EQ(sendStoredPackets(), 0);
    EXPECT_EQ(fakeWindow.log, "WARN: sendto() error, 7 of 10 bytes sent\r\n");
    EXPECT_EQ(linkState.local.localSent, 1u);
    EXPECT_EQ(linkState.local.localStored, 1u);
    EXPECT_EQ(linkState.local.localSendTime[0], 2100u); // overwritten by the new try

    fakeSystem.now = 2200;
    EXPECT_EQ(sendStoredPackets(), 1);
    EXPECT_EQ(fakeNet.sent.back().data, datagram(DataPacket, 1, {2, 2}));
    EXPECT_EQ(linkState.local.localSendTime[1], 2200u);
    EXPECT_EQ(linkState.local.localStored, 0u);
    EXPECT_EQ(linkState.errorCount, 0u); // send failures are logged, not counted
}

TEST_F(ExchangeTest, SizeWarningDuringATransferStillSends) {
    linkState.transferActive = true;
    linkState.expectedSize = 10;
    capture(Bytes(10));
    capture(Bytes(8));
    EXPECT_EQ(sendStoredPackets(), 1);
    EXPECT_EQ(fakeNet.sent.size(), 2u);
    EXPECT_EQ(fakeWindow.log, "WARN: Bad PlayStation packet size 8, expecting 10\r\n");
    EXPECT_EQ(linkState.errorCount, 1u);

    linkState.transferActive = false; // no transfer: any size goes silently
    capture(Bytes(3));
    EXPECT_EQ(sendStoredPackets(), 1);
    EXPECT_EQ(linkState.errorCount, 1u);
}

TEST_F(ExchangeTest, StoresByItsSequenceAndRefusesOldAndDuplicatePackets) {
    RemoteRing& r = linkState.remote;
    r.remoteDelivered = 5;
    store(4);
    EXPECT_EQ(fakeWindow.log, "WARN: old UDP packet received\r\n");
    EXPECT_EQ(linkState.errorCount, 1u);
    EXPECT_EQ(r.remoteStored, 0u);
    EXPECT_EQ(fakeSystem.eventsSet, 0);

    fakeWindow.log.clear();
    store(5, {7, 8, 9});
    EXPECT_EQ(std::memcmp(&r.slots[5], datagram(DataPacket, 5, {7, 8, 9}).data(), 11), 0);
    EXPECT_EQ(r.remoteSize[5], 3);
    EXPECT_EQ(r.remoteStored, 1u);
    EXPECT_EQ(r.remoteReceived, 1u);
    EXPECT_EQ(fakeSystem.eventsSet, 1);
    EXPECT_EQ(fakeWindow.log, "");

    store(5, {1});
    store(37, {1}); // the same slot, still holding 5
    // Both refusals are written: the first five of a second are.
    EXPECT_EQ(fakeWindow.log, "WARN: UDP packet position already taken, duplicate packet\r\n"
                              "WARN: UDP packet position already taken, duplicate packet\r\n");
    EXPECT_EQ(linkState.errorCount, 3u);
    EXPECT_EQ(r.slots[5].payload[0], 7);
    EXPECT_EQ(uint32_t(r.slots[5].sequence), 5u);
    EXPECT_EQ(r.remoteStored, 1u);
    EXPECT_EQ(fakeSystem.eventsSet, 1);

    // Ahead of a gap: stored at once, the missing ones are not waited for here.
    store(8);
    EXPECT_EQ(uint32_t(r.slots[8].type), uint32_t(DataPacket));
    EXPECT_EQ(uint32_t(r.slots[6].type) + uint32_t(r.slots[7].type), 0u);
    EXPECT_EQ(r.remoteStored, 2u);
    EXPECT_EQ(r.remoteDelivered, 5u);
}

TEST_F(ExchangeTest, OverflowClearsTheRingAndStoresTheNewPacket) {
    RemoteRing& r = linkState.remote;
    for (uint32_t s = 0; s < 32; ++s) store(s);
    EXPECT_EQ(r.remoteStored, 32u);
    EXPECT_EQ(fakeWindow.log, "");

    store(32, {0x42});
    EXPECT_EQ(fakeWindow.log, "WARN: UDP packet overflow, old packets cleared\r\n");
    EXPECT_EQ(linkState.errorCount, 1u);
    EXPECT_EQ(r.remoteStored, 1u);
    EXPECT_EQ(r.remoteReceived, 33u);
    EXPECT_EQ(r.remoteDelivered, 0u);
    EXPECT_EQ(uint32_t(r.slots[0].sequence), 32u);
    EXPECT_EQ(r.slots[0].payload[0], 0x42);
    for (int i = 1; i < 32; ++i) EXPECT_EQ(uint32_t(r.slots[i].type), 0u) << i;
}

TEST_F(ExchangeTest, PingPairsASentSlotWithThePeerPacketFiledThere) {
    capture({1});
    capture({2});
    fakeSystem.now = 1000;
    sendStoredPackets();
    fakeSystem.now = 1040;
    store(0);
    EXPECT_EQ(linkState.pingTotalMs, 40u);
    EXPECT_EQ(linkState.pingSamples, 1u);
    EXPECT_EQ(linkState.local.localSendTime[0], 0u);

    fakeSystem.now = 1070;
    store(1);
    EXPECT_EQ(linkState.pingTotalMs, 110u);
    EXPECT_EQ(linkState.pingSamples, 2u);

    // Slot 2 was never sent from: no sample.
    store(2);
    EXPECT_EQ(linkState.pingSamples, 2u);
    EXPECT_EQ(linkState.pingTotalMs, 110u);
}

TEST_F(ExchangeTest, ADatagramNeverSpillsPastItsSlot) {
    Bytes big = datagram(DataPacket, 3, Bytes(90, 0x77));
    storeRemotePacket(big.data(), int(big.size()));
    EXPECT_EQ(linkState.remote.remoteSize[3], 68);
    EXPECT_EQ(linkState.remote.slots[3].payload[67], 0x77);
    EXPECT_EQ(uint32_t(linkState.remote.slots[4].type), 0u);
    EXPECT_EQ(linkState.remote.slots[4].payload[0], 0);

    // A size that no capture leaves still sends no more than the slot.
    capture({5});
    linkState.local.localSize[0] = 500;
    sendStoredPackets();
    EXPECT_EQ(fakeNet.sent.back().data.size(), 76u);
}

} // namespace
