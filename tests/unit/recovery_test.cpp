// Loss recovery between two Zavik sides: the agreement in every way of meeting,
// what a peer that never offers receives, the bundles and their filing.
#include <cstring>
#include <string>
#include <vector>

#include "core/exchange.h"
#include "core/protocol.h"
#include "core/recovery.h"
#include "doubles/fakes.h"
#include "os/system.h"
#include "os/udp.h"

namespace {

constexpr uint32_t kHeard = kOfferHeard, kOn = kOfferHeard | kOfferOn;

// A datagram as (type, second word), enough for every 8-byte one.
using Head = std::pair<uint32_t, uint32_t>;

// A bundle of one-byte packets (number, byte), newest first.
Bytes bundle(const std::vector<std::pair<uint32_t, uint8_t>>& entries,
             uint8_t flags = kBundleFresh) {
    Bytes d = datagram(DataBundle, 0, {0, 0, 0, 0, 0, 0, uint8_t(entries.size()), flags});
    for (const auto& e : entries) {
        d.insert(d.end(), {0, 0, 0, 0, 1, e.second}); // number, size 1, the byte
        writeLe32(&d[d.size() - 6], e.first);
    }
    return d;
}

class RecoveryTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        linkState.recovery.enabled = true;
        linkState.udpSocket = 100;
        linkState.packetEvent = wakeEventCreate();
        for (FakeButton& b : fakeWindow.buttons) b.enabled = true;
    }

    static void arrive(const Bytes& d, const char* from = "127.0.0.2", uint16_t port = 4000) {
        fakeNet.incoming.push_back({d, netParseAddress(from), port});
        readDatagram();
    }

    static std::vector<Head> sent() {
        std::vector<Head> heads;
        for (const FakeNet::Sent& s : fakeNet.sent) {
            heads.push_back({readLe32(s.data.data()), readLe32(s.data.data() + 4)});
        }
        return heads;
    }

    static void startConnecting() {
        copyText(linkState.remoteIp, sizeof linkState.remoteIp, "127.0.0.2");
        linkState.remotePort = 4000;
        ASSERT_EQ(beginConnect(), 1);
        enterConnecting();
    }

    static void capture(const Bytes& payload) {
        captureLocal(payload);
        sendStoredPackets();
    }

    // Connected through Listen with a peer that offers, recovery on; nothing sent yet.
    static void linkedWithRecovery() {
        beginListen();
        arrive(datagram(ConnectRequest, 0));
        arrive(datagram(RecoveryOffer, kHeard));
        ASSERT_TRUE(recoveryOn());
        fakeNet.sent.clear();
        fakeWindow.log.clear();
    }
};

// Every way of meeting, with a peer that offers and with one that never does:
// what this side sends, whether recovery ends up on.
TEST_F(RecoveryTest, EveryWayOfMeetingAgreesOrStaysPlain) {
    const Bytes request = datagram(ConnectRequest, 0), accept = datagram(ConnectAccept, 0);
    const Bytes offer0 = datagram(RecoveryOffer, 0), offerHeard = datagram(RecoveryOffer, kHeard);
    const Bytes offerOn = datagram(RecoveryOffer, kOn);
    struct Row {
        const char* name;
        bool connects; // Connect... pressed, else Listen
        std::vector<Bytes> arriving;
        std::vector<Head> sent;
        bool on;
    } rows[] = {
        {"listen, the peer never offers", false, {request},
         {{ConnectAccept, 0}, {RecoveryOffer, 0}}, false},
        {"listen, the peer offers after its request", false, {request, offer0, offerOn},
         {{ConnectAccept, 0}, {RecoveryOffer, 0}, {RecoveryOffer, kHeard}}, true},
        {"listen, the offer comes before the request", false, {offer0, request, offerOn},
         {{ConnectAccept, 0}, {RecoveryOffer, kHeard}, {RecoveryOffer, kHeard}}, true},
        {"connect, the answer comes with an offer", true, {accept, offerHeard},
         {{ConnectRequest, 0}, {RecoveryOffer, 0}, {RecoveryOffer, kOn}}, true},
        {"connect, the offer overtakes the answer", true, {offerHeard, accept},
         {{ConnectRequest, 0}, {RecoveryOffer, 0}, {RecoveryOffer, kOn}}, true},
        {"both connect at once", true, {request, offer0, accept, offerOn},
         {{ConnectRequest, 0}, {RecoveryOffer, 0}, {ConnectAccept, 0}, {RecoveryOffer, 0},
          {RecoveryOffer, kHeard}}, true},
        {"connect, the answer is lost, the peer's data completes it", true,
         {offerHeard, datagram(DataPacket, 0, {7})},
         {{ConnectRequest, 0}, {RecoveryOffer, 0}, {RecoveryOffer, kOn}}, true},
        {"connect, the answer is lost, the peer's bundle completes it", true,
         {offerHeard, bundle({{0, 7}})},
         {{ConnectRequest, 0}, {RecoveryOffer, 0}, {RecoveryOffer, kOn}}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.connects ? startConnecting() : beginListen();
        for (const Bytes& d : row.arriving) arrive(d);
        EXPECT_EQ(linkState.connectionState, Connected);
        EXPECT_EQ(sent(), row.sent);
        EXPECT_EQ(recoveryOn(), row.on);
        EXPECT_EQ(fakeWindow.log.find("Loss recovery on\r\n") != std::string::npos, row.on);
    }
}

// A peer that never offers gets today's datagrams, byte for byte, and at most
// eight offers beside them; each retry of an attempt brings one offer.
TEST_F(RecoveryTest, APeerThatNeverOffersGetsPlainDatagramsAndFewOffers) {
    startConnecting();
    onRetryTimer();
    arrive(datagram(ConnectAccept, 0));
    for (uint8_t n = 0; n < 12; ++n) capture({n, 1, 2});
    int offers = 0;
    std::vector<Bytes> rest;
    for (const FakeNet::Sent& s : fakeNet.sent) {
        if (s.data == datagram(RecoveryOffer, 0)) ++offers;
        else rest.push_back(s.data);
    }
    EXPECT_EQ(offers, 2 + 8);
    ASSERT_EQ(rest.size(), 2u + 12u);
    EXPECT_EQ(rest[0], datagram(ConnectRequest, 0));
    EXPECT_EQ(rest[1], datagram(ConnectRequest, 0));
    for (uint8_t n = 0; n < 12; ++n) EXPECT_EQ(rest[2 + n], datagram(DataPacket, n, {n, 1, 2}));
    EXPECT_EQ(fakeWindow.log.find("Loss recovery"), std::string::npos);
}

// Each packet travels in four datagrams; the last one's copies go in repeats
// 25, 25 and 50 ms apart, and then the thread has nothing more to wait for.
TEST_F(RecoveryTest, EachPacketGoesInFourDatagramsAndTheLastInRepeats) {
    linkedWithRecovery();
    for (uint8_t n = 0; n < 5; ++n) capture({n});
    std::vector<uint32_t> gaps;
    for (uint32_t due; (due = msUntilCopiesDue(fakeSystem.now)) != kNoTimeout;) {
        gaps.push_back(due);
        fakeSystem.now += due;
        sendDueCopies(fakeSystem.now);
    }
    EXPECT_EQ(gaps, (std::vector<uint32_t>{25, 25, 50}));
    // Each datagram: its newest packet, how many it carries, whether the newest is fresh.
    std::vector<std::vector<uint32_t>> carried;
    for (const FakeNet::Sent& s : fakeNet.sent) {
        carried.push_back({readLe32(&s.data[kBundleHeader]), s.data[14], s.data[15]});
    }
    const uint32_t fresh = kBundleFresh;
    EXPECT_EQ(carried, (std::vector<std::vector<uint32_t>>{{0, 1, fresh}, {1, 2, fresh},
                                                           {2, 3, fresh}, {3, 4, fresh},
                                                           {4, 4, fresh}, {4, 3, 0}, {4, 2, 0},
                                                           {4, 1, 0}}));
}

// Packets come in order from later copies when datagrams are lost; copies of
// packets already filed are dropped without a word; the end line counts them.
TEST_F(RecoveryTest, LostDatagramsAreMadeGoodFromLaterCopiesSilently) {
    linkedWithRecovery();
    arrive(bundle({{0, 10}}));
    // The datagrams with 1 and 2 fresh are lost; 3's carries both.
    arrive(bundle({{3, 13}, {2, 12}, {1, 11}, {0, 10}}));
    arrive(bundle({{3, 13}, {2, 12}, {1, 11}}, 0)); // a repeat
    EXPECT_EQ(linkState.remote.remoteStored, 4u);
    EXPECT_EQ(linkState.remote.remoteReceived, 4u);
    for (uint32_t s = 0; s < 4; ++s) {
        EXPECT_EQ(linkState.remote.slots[s].sequence, s);
        EXPECT_EQ(linkState.remote.slots[s].payload[0], 10 + s);
    }
    linkState.remote.remoteDelivered = 4; // delivered: still no word for their copies
    linkState.remote.remoteStored = 0;
    for (PacketSlot& slot : linkState.remote.slots) slot.type = 0;
    arrive(bundle({{3, 13}, {2, 12}}, 0));
    EXPECT_EQ(linkState.errorCount, 0u);
    EXPECT_EQ(fakeWindow.log, "");

    endConnection(ListenButton);
    EXPECT_NE(fakeWindow.log.find(
                  "disconnected\r\nLoss recovery: 2 packets recovered from later copies\r\n"),
              std::string::npos);
}

} // namespace
