#include "core/tracking.h"

#include <string>

#include "doubles/fakes.h"

namespace {

void track(Bytes p) { trackControlPacket(p.data(), int32_t(p.size())); }
void trackData(const Bytes& p) { trackDataPacket(p.data(), int32_t(p.size())); }

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// An S-packet announcing `size` and seven A-packets that accept.
void runHandshake(int size) {
    track(controlPacket('S', uint8_t(size - 2), 0));
    for (int i = 0; i < 7; ++i) track(controlPacket('A', 0, 1));
}

TEST_F(LinkTest, TrackingChecksumsAndPacketsThatChangeNothing) {
    Bytes bad = controlPacket('C', 0, 0, 1);
    bad[7] ^= 0x01;
    Bytes seen = bad;
    trackControlPacket(seen.data(), 8);
    EXPECT_EQ(seen, bad) << "a bad C-packet is not rewritten";
    EXPECT_EQ(linkState.errorCount, 1u);
    EXPECT_FALSE(linkState.psxActive);
    linkState.framePeriodMs = 16;
    track(bad);
    EXPECT_EQ(linkState.framePeriodMs, 16);

    Bytes notControl = {0x12, 0x53, 0, 0, 0, 0, 0, 0x99};
    track(notControl);
    EXPECT_EQ(linkState.errorCount, 3u) << "the checksum counts whatever byte 0 holds";
    notControl[7] = 0x12 + 0x53;
    track(notControl);
    EXPECT_EQ(linkState.errorCount, 3u);
    EXPECT_EQ(linkState.transferStage, 0);

    // Steps other than an S-packet do not open a handshake.
    track(controlPacket('A', 0, 1));
    track({1});
    EXPECT_EQ(linkState.transferStage, 0);

    // Only 8-byte packets are control packets.
    Bytes s = controlPacket('S', 10, 0);
    track(Bytes(s.begin(), s.begin() + 7));
    Bytes longer = s;
    longer.push_back(0);
    track(longer);
    track({0xFD, 0x53});
    EXPECT_EQ(linkState.transferStage, 0);
    EXPECT_EQ(linkState.expectedSize, 0);
    EXPECT_FALSE(linkState.psxActive);
    EXPECT_EQ(linkState.errorCount, 3u);
}

TEST_F(LinkTest, TrackingHandshakeStepsSizesAndAbandon) {
    track(controlPacket('S', 0, 0));
    EXPECT_EQ(linkState.transferStage, 1);
    EXPECT_EQ(linkState.expectedSize, 2);
    EXPECT_TRUE(linkState.psxActive);
    track(controlPacket('S', 255, 0));
    EXPECT_EQ(linkState.transferStage, 2);
    EXPECT_EQ(linkState.expectedSize, 257);

    track({1});
    track({2}); // other one-byte values are no step
    track(controlPacket('C', 0, 1));
    track(controlPacket('Q', 0, 1));
    EXPECT_EQ(linkState.transferStage, 3);

    track(controlPacket('A', 0, 2));
    EXPECT_EQ(linkState.transferStage, 0);
    EXPECT_EQ(linkState.expectedSize, 257) << "abandoning keeps the announced size";
    EXPECT_TRUE(fakeSerial.masks.empty());
    EXPECT_FALSE(linkState.transferActive);
}

TEST_F(LinkTest, TrackingEighthStepStartsTheTransferOnce) {
    track(controlPacket('S', 8, 0));
    for (int i = 0; i < 6; ++i) track(controlPacket('A', 0, 1));
    EXPECT_EQ(linkState.transferStage, 7);
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_FALSE(linkState.transferActive);

    // The eighth step may be any step; an S-packet announces the size anew.
    track(controlPacket('S', 12, 0));
    EXPECT_EQ(linkState.transferStage, 8);
    EXPECT_EQ(linkState.expectedSize, 14);
    EXPECT_TRUE(linkState.transferActive);
    EXPECT_EQ(fakeWindow.log, "**Transfer has started **\r\n");
    EXPECT_EQ(fakeSerial.masks, (std::vector<uint32_t>{24}));
}

TEST_F(LinkTest, TrackingCPacketMarksItselfAndSetsTheFramePeriod) {
    // Byte 3 is not examined; 0xBE makes the checksum 0xFF.
    Bytes c = controlPacket('C', 0xBE, 0, 1);
    ASSERT_EQ(c[7], 0xFF);
    linkState.framePeriodMs = 16;
    trackControlPacket(c.data(), 8);
    EXPECT_EQ(c[4], 1);
    EXPECT_EQ(c[7], 0x00);
    EXPECT_EQ(linkState.framePeriodMs, 20);
    EXPECT_TRUE(linkState.psxActive);
    EXPECT_EQ(linkState.errorCount, 0u);

    for (uint8_t period : {0, 2}) {
        Bytes p = controlPacket('C', 0, 0, period);
        linkState.framePeriodMs = 20;
        trackControlPacket(p.data(), 8);
        EXPECT_EQ(linkState.framePeriodMs, 16) << int(period);
    }

    // Already passed a link: only psxActive.
    linkState.psxActive = false;
    Bytes passed = controlPacket('C', 0, 1, 0);
    Bytes before = passed;
    trackControlPacket(passed.data(), 8);
    EXPECT_EQ(passed, before);
    EXPECT_EQ(linkState.framePeriodMs, 16);
    EXPECT_TRUE(linkState.psxActive);
    EXPECT_EQ(linkState.transferStage, 0);
}

TEST_F(LinkTest, TrackingSecondEndMarkerFinishesTheTransfer) {
    runHandshake(10);
    ASSERT_TRUE(linkState.transferActive);
    fakeWindow.log.clear();
    linkState.errorCount = 7;
    linkState.pingTotalMs = 300;
    linkState.pingSamples = 3;
    linkState.lastReadTime = 5000;

    Bytes badSum = transferPacket(10, 0x02);
    badSum[9] ^= 0xFF;
    trackData(badSum);
    trackData(transferPacket(10, 0x04)); // a filler
    trackData(transferPacket(10, 0x24, 7));
    trackData({0x00}); // too short to hold an end marker
    trackData({});
    EXPECT_EQ(linkState.endMarkerCount, 0);
    EXPECT_EQ(linkState.errorCount, 7u) << "bad transfer packets are not counted";

    trackData(transferPacket(10, 0x12, 3));
    EXPECT_EQ(linkState.endMarkerCount, 1);
    EXPECT_EQ(linkState.transferStage, 8);
    EXPECT_EQ(linkState.expectedSize, 10);
    EXPECT_EQ(fakeWindow.log, "");

    trackData(transferPacket(10, 0xF2));
    EXPECT_EQ(linkState.transferStage, 0);
    EXPECT_EQ(linkState.expectedSize, 0);
    EXPECT_EQ(linkState.endMarkerCount, 0);
    EXPECT_EQ(linkState.lastReadTime, 0u);
    EXPECT_EQ(linkState.errorCount, 0u);
    EXPECT_EQ(linkState.pingTotalMs, 0u);
    EXPECT_EQ(linkState.pingSamples, 0u);
    EXPECT_FALSE(linkState.transferActive);
    EXPECT_EQ(fakeWindow.log, "Transfer has finished.\r\n");
    EXPECT_EQ(fakeSerial.masks, (std::vector<uint32_t>{24, 9}));

    // The next handshake starts afresh.
    runHandshake(4);
    EXPECT_EQ(count(fakeWindow.log, "**Transfer has started **\r\n"), 1u);
    EXPECT_EQ(linkState.endMarkerCount, 0);
}

} // namespace
