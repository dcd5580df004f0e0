// The connection state machine, the commands that start and end a connection,
// and the reading of datagrams.
#include <cstring>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "core/warnings.h"
#include "doubles/fakes.h"
#include "os/udp.h"

namespace {

class ProtocolTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        // As after an accepted Settings dialog: socket open, all three buttons enabled.
        linkState.udpSocket = 100;
        for (FakeButton& b : fakeWindow.buttons) b.enabled = true;
    }

    static uint32_t address(const char* text) { return netParseAddress(text); }

    static void arrive(uint32_t type, uint32_t sequence = 0, const Bytes& payload = {},
                       const char* from = "127.0.0.2", uint16_t port = 4000) {
        fakeNet.incoming.push_back({datagram(type, sequence, payload), address(from), port});
        readDatagram();
    }

    // Types of the datagrams sent so far, in order.
    static std::vector<uint32_t> sentTypes() {
        std::vector<uint32_t> types;
        for (const FakeNet::Sent& s : fakeNet.sent) types.push_back(readLe32(s.data.data()));
        return types;
    }

    static void expectIdleButtons() {
        expectButton(SettingsButton, "Settings...", 1036, true);
        expectButton(ConnectButton, "Connect...", 1037, true);
        expectButton(ListenButton, "Listen", 1012, true);
    }

    // Connected through the Listen button, the peer at 127.0.0.2:4000.
    void connectAsListener() {
        beginListen();
        arrive(ConnectRequest);
        ASSERT_EQ(linkState.connectionState, Connected);
        fakeNet.sent.clear();
        fakeWindow.log.clear();
        fakeWindow.effects.clear();
    }

    // Connecting to 127.0.0.3:3975 through the Connect dialog.
    void startConnecting() {
        copyText(linkState.remoteIp, sizeof linkState.remoteIp, "127.0.0.3");
        linkState.remotePort = 3975;
        ASSERT_EQ(beginConnect(), 1);
        enterConnecting();
    }
};

TEST_F(ProtocolTest, ListenAndAPeerConnects) {
    linkState.errorCount = 7;
    linkState.pingSamples = 2;
    beginListen();
    EXPECT_EQ(linkState.connectionState, Listening);
    EXPECT_EQ(linkState.errorCount, 0u); // the statistics start afresh
    EXPECT_EQ(linkState.pingSamples, 0u);
    expectButton(SettingsButton, "Settings...", 1036, false);
    expectButton(ConnectButton, "Connect...", 1037, false);
    expectButton(ListenButton, "Cancel", 1061, true);
    EXPECT_TRUE(fakeNet.sent.empty());

    arrive(ConnectRequest, 0, {}, "127.0.0.2", 4000);
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_STREQ(linkState.remoteIp, "127.0.0.2");
    EXPECT_EQ(linkState.remotePort, 4000);
    ASSERT_EQ(fakeNet.sent.size(), 1u);
    EXPECT_EQ(fakeNet.sent[0].data, datagram(ConnectAccept, 0));
    EXPECT_EQ(fakeNet.sent[0].to.family, kAfInet);
    EXPECT_EQ(fakeNet.sent[0].to.address, address("127.0.0.2"));
    EXPECT_EQ(fakeNet.sent[0].to.port, netToNetworkPort(4000));
    expectButton(ListenButton, "Disconnect", 1061, true);
    expectButton(ConnectButton, "Connect...", 1037, false);
    EXPECT_EQ(fakeWindow.focused, int(ListenButton));
    EXPECT_EQ(fakeWindow.log, "Listening for connection ...connected!\r\n");
    EXPECT_EQ(fakeNet.readLengths, std::vector<int>{8});
}

TEST_F(ProtocolTest, ListenerAnswersEachKindOfDatagram) {
    beginListen();
    arrive(DataPacket, 0, {1, 2, 3}); // 11 bytes: a failed read
    arrive(DataPacket, 0);            // 8 bytes: refused
    EXPECT_EQ(sentTypes(), std::vector<uint32_t>{DisconnectNotice});
    arrive(DisconnectNotice);
    EXPECT_EQ(sentTypes().size(), 1u);
    EXPECT_EQ(linkState.connectionState, Listening);
    EXPECT_EQ(fakeWindow.log,
              "Listening for connection ..."
              "WARN: recvfrom() failed (error #10040)\r\n"
              "WARN: bad UDP packet size (-1), expected 8\r\n");
    EXPECT_EQ(linkState.remote.remoteReceived, 0u);

    // A failed answer to a ConnectRequest leaves the side listening.
    fakeNet.sendResults = {-1};
    fakeNet.lastError = 10065;
    fakeWindow.log.clear();
    arrive(ConnectRequest);
    EXPECT_EQ(linkState.connectionState, Listening);
    EXPECT_EQ(fakeWindow.log, "sendto() failed (error #10065).\r\n");
    expectButton(ListenButton, "Cancel", 1061, true);

    // A ConnectAccept completes the connection without an answer.
    fakeNet.sent.clear();
    arrive(ConnectAccept);
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_TRUE(fakeNet.sent.empty());
    expectButton(ListenButton, "Disconnect", 1061, true);
    EXPECT_EQ(fakeWindow.focused, int(ListenButton));
    EXPECT_EQ(fakeWindow.log, "sendto() failed (error #10065).\r\nconnected!!!\r\n");
}

TEST_F(ProtocolTest, ConnectRetriesAndIsAccepted) {
    startConnecting();
    EXPECT_EQ(linkState.connectionState, Connecting);
    EXPECT_EQ(fakeNet.sent[0].data, datagram(ConnectRequest, 0));
    EXPECT_EQ(fakeNet.sent[0].to.address, address("127.0.0.3"));
    EXPECT_EQ(fakeNet.sent[0].to.port, netToNetworkPort(3975));
    EXPECT_TRUE(fakeWindow.timerRunning);
    expectButton(SettingsButton, "Settings...", 1036, false);
    expectButton(ListenButton, "Listen", 1012, false);
    expectButton(ConnectButton, "Cancel", 1060, true);
    // Settings is disabled before Listen.
    std::vector<std::string> expectedOrder = {"enable:0:0", "enable:2:0", "caption:1:Cancel",
                                              "id:1:1060"};
    std::vector<std::string> seen(fakeWindow.effects.end() - 4, fakeWindow.effects.end());
    EXPECT_EQ(seen, expectedOrder);

    onRetryTimer();
    onRetryTimer();
    EXPECT_EQ(sentTypes(), (std::vector<uint32_t>{ConnectRequest, ConnectRequest, ConnectRequest}));

    // A packet captured meanwhile goes out as soon as the peer accepts.
    PacketSlot& slot = linkState.local.slots[0];
    slot.type = DataPacket;
    slot.sequence = 0;
    slot.payload[0] = 0x5A;
    linkState.local.localSize[0] = 1;
    linkState.local.localCaptured = 1;
    linkState.local.localStored = 1;

    arrive(ConnectAccept, 0, {}, "127.0.0.3", 3975);
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_FALSE(fakeWindow.timerRunning);
    expectButton(ConnectButton, "Disconnect", 1060, true);
    EXPECT_EQ(fakeWindow.log, "Attempting to connect to 127.0.0.3:3975 ....connected!\r\n");
    ASSERT_EQ(fakeNet.sent.size(), 4u);
    EXPECT_EQ(fakeNet.sent[3].data, datagram(DataPacket, 0, {0x5A}));
    EXPECT_EQ(linkState.local.localStored, 0u);
}

TEST_F(ProtocolTest, AFailedFirstRequestLeavesTheSideIdle) {
    copyText(linkState.remoteIp, sizeof linkState.remoteIp, "127.0.0.3");
    linkState.remotePort = 5000;
    fakeNet.sendResults = {3}; // a short send fails as well
    fakeNet.lastError = 10051;
    EXPECT_EQ(beginConnect(), 0);
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_FALSE(fakeWindow.timerRunning);
    EXPECT_EQ(fakeWindow.log,
              "Attempting to connect to 127.0.0.3:5000 ..sendto() failed (error #10051).\r\n");
    expectIdleButtons();
}

TEST_F(ProtocolTest, BothSidesConnectingToEachOther) {
    startConnecting();
    fakeNet.sent.clear();
    // The other side's own request: answered, still waiting for our acceptance.
    arrive(ConnectRequest, 0, {}, "127.0.0.3", 3975);
    EXPECT_EQ(linkState.connectionState, Connecting);
    EXPECT_EQ(sentTypes(), std::vector<uint32_t>{ConnectAccept});
    EXPECT_EQ(fakeNet.sent[0].to.address, address("127.0.0.3"));
    EXPECT_TRUE(fakeWindow.timerRunning);
    // Its answer to ours completes the connection.
    arrive(ConnectAccept, 0, {}, "127.0.0.3", 3975);
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_EQ(fakeWindow.log, "Attempting to connect to 127.0.0.3:3975 ..connected!\r\n");
}

TEST_F(ProtocolTest, ConnectingSideTakesTheInOrderDataPacketAsAcceptance) {
    startConnecting();
    fakeNet.sent.clear();
    arrive(DataPacket, 1, {}, "127.0.0.3", 3975); // not the one due: ignored, no answer
    arrive(DisconnectNotice, 0, {}, "127.0.0.3", 3975);
    EXPECT_EQ(linkState.connectionState, Connecting);
    EXPECT_TRUE(fakeNet.sent.empty());

    arrive(DataPacket, 0, {}, "127.0.0.3", 3975); // 8 bytes: the longest a connecting side reads
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_FALSE(fakeWindow.timerRunning);
    expectButton(ConnectButton, "Disconnect", 1060, true);
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
    EXPECT_EQ(uint32_t(linkState.remote.slots[0].type), uint32_t(DataPacket));
    EXPECT_EQ(linkState.remote.remoteSize[0], 0);
    EXPECT_EQ(fakeWindow.log, "Attempting to connect to 127.0.0.3:3975 ..connected!!\r\n");
}

TEST_F(ProtocolTest, IdleSideRefusesAcceptancesAndData) {
    SocketAddress last{kAfInet, netToNetworkPort(3975), address("127.0.0.9")};
    linkState.remoteAddress = last;
    arrive(ConnectRequest, 0, {}, "127.0.0.2", 4001);
    arrive(DisconnectNotice);
    EXPECT_TRUE(fakeNet.sent.empty());
    arrive(ConnectAccept, 0, {}, "127.0.0.4", 4002);
    arrive(DataPacket, 3);
    EXPECT_EQ(sentTypes(), (std::vector<uint32_t>{DisconnectNotice, DisconnectNotice}));
    // Replies go where the last attempt left remoteAddress; the sender is only noted.
    EXPECT_EQ(fakeNet.sent[0].to.address, address("127.0.0.9"));
    EXPECT_STREQ(linkState.remoteIp, "127.0.0.2");
    EXPECT_EQ(linkState.remotePort, 4000);
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_EQ(linkState.remote.remoteReceived, 0u);
    EXPECT_EQ(fakeWindow.log, "");
}

TEST_F(ProtocolTest, ConnectedSideAnswersRequestsAndStoresData) {
    connectAsListener();
    arrive(ConnectRequest); // the peer asks again: it missed our answer
    EXPECT_EQ(sentTypes(), std::vector<uint32_t>{ConnectAccept});
    EXPECT_EQ(fakeNet.sent[0].to.address, address("127.0.0.2"));
    EXPECT_EQ(fakeNet.sent[0].to.port, netToNetworkPort(4000));

    arrive(DataPacket, 0, Bytes(66, 0x11)); // 74 bytes: the longest outside a transfer
    arrive(ConnectAccept);
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
    EXPECT_EQ(linkState.remote.remoteSize[0], 66);
    EXPECT_EQ(sentTypes().size(), 1u);
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_EQ(fakeWindow.log, "");
}

TEST_F(ProtocolTest, RemoteDisconnectSequence) {
    connectAsListener();
    arrive(DataPacket, 0, {1, 2});
    linkState.local.localCaptured = 4;
    linkState.local.localSent = 3;
    linkState.local.localStored = 1;
    linkState.errorCount = 2;

    int stateAtSleep = -1;
    uint32_t storedAtSleep = 0;
    fakeWindow.onSleep = [&](uint32_t) {
        stateAtSleep = int(linkState.connectionState.load());
        storedAtSleep = linkState.remote.remoteStored;
    };
    arrive(DisconnectNotice);

    const std::vector<std::string> expected = {
        "log:Disconnect packet received...",
        "caption:1:Connect...", "id:1:1037", "caption:2:Listen", "id:2:1012",
        "enable:0:1", "enable:1:1", "enable:2:1",
        "sleep:500",
        "log:disconnected\r\n",
    };
    EXPECT_EQ(fakeWindow.effects, expected);
    EXPECT_EQ(stateAtSleep, int(Idle));
    EXPECT_EQ(storedAtSleep, 1u); // the rings are reset after the sleep
    EXPECT_EQ(linkState.remote.remoteStored + linkState.remote.remoteReceived, 0u);
    EXPECT_EQ(uint32_t(linkState.remote.slots[0].type), 0u);
    EXPECT_EQ(linkState.local.localCaptured + linkState.local.localSent, 0u);
    EXPECT_EQ(linkState.errorCount, 2u); // the statistics stay
    EXPECT_TRUE(fakeNet.sent.empty());
    expectIdleButtons();
    EXPECT_EQ(fakeWindow.log, "Disconnect packet received...disconnected\r\n");
}

TEST_F(ProtocolTest, CancellingSendsAndResetsNothing) {
    startConnecting();
    linkState.remote.remoteReceived = 3;
    linkState.errorCount = 1;
    fakeNet.sent.clear();
    fakeWindow.log.clear();
    endConnection(ConnectButton);
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_FALSE(fakeWindow.timerRunning);
    EXPECT_EQ(fakeWindow.timerKills, 1);
    EXPECT_EQ(fakeWindow.log, "cancelled\r\n");
    expectIdleButtons();

    beginListen();
    endConnection(ListenButton);
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_EQ(fakeWindow.log, "cancelled\r\nListening for connection ...cancelled\r\n");
    expectIdleButtons();

    EXPECT_TRUE(fakeNet.sent.empty());
    EXPECT_TRUE(fakeWindow.sleeps.empty());
    EXPECT_TRUE(fakeWindow.questions.empty());
    EXPECT_EQ(linkState.remote.remoteReceived, 3u);
}

TEST_F(ProtocolTest, LocalDisconnectSendsTwoNoticesAndResetsEverything) {
    for (PanelButton button : {ConnectButton, ListenButton}) {
        SCOPED_TRACE(int(button));
        SetUp();
        if (button == ConnectButton) {
            startConnecting();
            arrive(ConnectAccept, 0, {}, "127.0.0.3", 3975);
            fakeNet.sent.clear();
            fakeWindow.log.clear();
            arrive(DataPacket, 0, {9}, "127.0.0.3", 3975);
        } else {
            connectAsListener();
            arrive(DataPacket, 0, {9});
        }
        linkState.local.localCaptured = 2;
        linkState.errorCount = 4;
        linkState.stats.shownErrorCount = 4;

        endConnection(button);
        EXPECT_EQ(sentTypes(), (std::vector<uint32_t>{DisconnectNotice, DisconnectNotice}));
        EXPECT_EQ(fakeWindow.sleeps, std::vector<uint32_t>{500});
        EXPECT_TRUE(fakeWindow.questions.empty()); // no transfer running
        EXPECT_EQ(fakeWindow.log, "Sending disconnect packet...disconnected\r\n");
        EXPECT_EQ(linkState.connectionState, Idle);
        EXPECT_EQ(linkState.remote.remoteStored + linkState.remote.remoteReceived, 0u);
        EXPECT_EQ(linkState.local.localCaptured, 0u);
        EXPECT_EQ(linkState.errorCount + linkState.stats.shownErrorCount, 0u);
        expectIdleButtons();
    }
}

TEST_F(ProtocolTest, TransferWarningBeforeLeaving) {
    connectAsListener();
    linkState.transferStage = 8;
    linkState.expectedSize = 10;
    fakeWindow.answerYes = false;
    endConnection(ListenButton);
    EXPECT_EQ(fakeWindow.questions,
              std::vector<std::string>{"Disconnect|Packet transfer in progress, are you sure?"});
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_TRUE(fakeNet.sent.empty());
    EXPECT_TRUE(fakeWindow.effects.empty()); // no log, no button touched
    EXPECT_EQ(linkState.transferStage, 8);

    EXPECT_EQ(confirmLeave("Program Exit"), 0);
    EXPECT_EQ(fakeWindow.questions.back(),
              "Program Exit|Packet transfer in progress, are you sure?");

    fakeWindow.answerYes = true;
    endConnection(ListenButton);
    EXPECT_EQ(sentTypes(), (std::vector<uint32_t>{DisconnectNotice, DisconnectNotice}));
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_EQ(linkState.transferStage, 0);
}

TEST_F(ProtocolTest, LeavingTheProgram) {
    // Connected: one notice. Listening or idle: none, and no question without a transfer.
    connectAsListener();
    EXPECT_EQ(confirmLeave("Program Exit"), 1);
    EXPECT_EQ(sentTypes(), std::vector<uint32_t>{DisconnectNotice});
    EXPECT_EQ(linkState.connectionState, Connected);

    SetUp();
    beginListen();
    linkState.transferStage = 8;
    EXPECT_EQ(confirmLeave("Program Exit"), 1);
    EXPECT_EQ(fakeWindow.questions.size(), 1u);
    EXPECT_TRUE(fakeNet.sent.empty());
}

// Anyone can reach the port; only the peer may move the link. Each row is a
// datagram from someone else, which must change nothing at all.
TEST_F(ProtocolTest, OnlyThePeerDrivesTheLink) {
    enum Side { ListeningFresh, ListeningAfterAttempt, ConnectingTo3, ConnectedTo2 };
    struct Row {
        const char* what;
        Side side;
        uint32_t type, sequence;
        const char* from;
        uint16_t port;
        int copies;
    };
    const Row rows[] = {
        {"accept to a listener that never tried", ListeningFresh, ConnectAccept, 0, "127.0.0.9", 4000, 1},
        {"accept from another host than tried", ListeningAfterAttempt, ConnectAccept, 0, "127.0.0.4", 3975, 1},
        {"request from a stranger while connecting", ConnectingTo3, ConnectRequest, 0, "127.0.0.9", 3975, 1},
        {"accept from a stranger while connecting", ConnectingTo3, ConnectAccept, 0, "127.0.0.9", 3975, 1},
        {"due data from a stranger while connecting", ConnectingTo3, DataPacket, 0, "127.0.0.9", 3975, 1},
        {"data from a stranger", ConnectedTo2, DataPacket, 1, "127.0.0.9", 4000, 1},
        {"data from the peer's host, another port", ConnectedTo2, DataPacket, 1, "127.0.0.2", 4001, 1},
        {"a sequence far ahead", ConnectedTo2, DataPacket, 1000, "127.0.0.9", 4000, 1},
        {"enough data to overflow the ring", ConnectedTo2, DataPacket, 1, "127.0.0.9", 4000, 40},
        {"a disconnect notice", ConnectedTo2, DisconnectNotice, 0, "127.0.0.9", 4000, 1},
        {"a connect request", ConnectedTo2, ConnectRequest, 0, "127.0.0.9", 4000, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        switch (row.side) {
        case ListeningFresh:
            beginListen();
            break;
        case ListeningAfterAttempt:
            startConnecting();
            endConnection(ConnectButton);
            beginListen();
            break;
        case ConnectingTo3:
            startConnecting();
            break;
        case ConnectedTo2:
            connectAsListener();
            arrive(DataPacket, 0, {1}); // the peer's first packet, waiting for the console
            break;
        }
        const ConnectionState state = linkState.connectionState;
        const RemoteRing ring = linkState.remote;
        const SocketAddress peer = linkState.remoteAddress;
        const std::string remoteIp = linkState.remoteIp;
        const uint16_t remotePort = linkState.remotePort;
        const size_t sent = fakeNet.sent.size();
        const uint32_t errors = linkState.errorCount;

        for (int i = 0; i < row.copies; ++i) {
            arrive(row.type, row.sequence + uint32_t(i), {}, row.from, row.port);
        }
        EXPECT_EQ(linkState.connectionState, state);
        EXPECT_EQ(std::memcmp(&linkState.remote, &ring, sizeof ring), 0);
        EXPECT_EQ(linkState.remoteAddress.address, peer.address);
        EXPECT_EQ(linkState.remoteAddress.port, peer.port);
        EXPECT_EQ(linkState.remoteIp, remoteIp);
        EXPECT_EQ(linkState.remotePort, remotePort);
        EXPECT_EQ(fakeNet.sent.size(), sent);
        EXPECT_EQ(linkState.errorCount, errors);
        EXPECT_EQ(fakeWindow.timerRunning, state == Connecting);
    }
}

TEST_F(ProtocolTest, IgnoredDatagramsAreLoggedEveryFiveSeconds) {
    connectAsListener();
    std::string five;
    for (int i = 0; i < 5; ++i) five += "WARN: ignored 1 datagram from 127.0.0.9:40000\r\n";
    for (int i = 0; i < 12; ++i) arrive(DataPacket, 0, {}, "127.0.0.9", 40000);
    arrive(DataPacket, 0, {}, "127.0.0.8", 40000);
    fakeSystem.now += kIgnoredPeriodMs - 1;
    onWarningTimer();
    EXPECT_EQ(fakeWindow.log, five);
    fakeSystem.now += 1;
    onWarningTimer();
    EXPECT_EQ(fakeWindow.log,
              five + "WARN: ignored 8 datagrams from 127.0.0.8:40000 and others\r\n");
}

// A peer behind a router that gives its datagrams another port than the one
// dialled: its answer connects, and the link goes on with the port it came from.
TEST_F(ProtocolTest, AnAnswerFromAnotherPortConnectsToThatPort) {
    for (uint32_t answer : {uint32_t(ConnectAccept), uint32_t(DataPacket)}) {
        SCOPED_TRACE(answer);
        SetUp();
        startConnecting(); // to 127.0.0.3:3975
        arrive(answer, 0, {}, "127.0.0.3", 5000);
        ASSERT_EQ(linkState.connectionState, Connected);
        EXPECT_EQ(linkState.remoteAddress.port, netToNetworkPort(5000));
        arrive(DataPacket, 1, {7}, "127.0.0.3", 5000);
        arrive(DataPacket, 2, {7}, "127.0.0.3", 3975); // not the peer's port any more
        EXPECT_EQ(linkState.remote.remoteReceived, answer == DataPacket ? 2u : 1u);
        fakeNet.sent.clear();
        endConnection(ConnectButton);
        ASSERT_EQ(fakeNet.sent.size(), 2u);
        EXPECT_EQ(fakeNet.sent[0].to.port, netToNetworkPort(5000));
    }
    // The same for a listener that earlier tried 127.0.0.3: its late answer.
    SetUp();
    startConnecting();
    endConnection(ConnectButton);
    beginListen();
    arrive(ConnectAccept, 0, {}, "127.0.0.3", 5000);
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_EQ(linkState.remoteAddress.port, netToNetworkPort(5000));
}

TEST_F(ProtocolTest, ReadLengths) {
    // Outside Connected: 8 bytes with the sender, whatever the transfer fields say.
    linkState.transferStage = 8;
    linkState.expectedSize = 10;
    arrive(ConnectRequest);
    EXPECT_EQ(fakeNet.readLengths.back(), 8);
    linkState.transferStage = 0;

    connectAsListener();
    arrive(DataPacket, 0, Bytes(66));
    EXPECT_EQ(fakeNet.readLengths.back(), 74);
    arrive(DataPacket, 1, Bytes(67)); // one byte too long outside a transfer
    EXPECT_EQ(fakeWindow.log,
              "WARN: recv() failed (error #10040)\r\n"
              "WARN: bad UDP packet size (-1), expected 74\r\n");
    EXPECT_EQ(linkState.remote.remoteReceived, 1u);

    // During a transfer: the transfer packet and its header.
    linkState.transferStage = 8;
    linkState.expectedSize = 10;
    arrive(DataPacket, 2, Bytes(10));
    EXPECT_EQ(fakeNet.readLengths.back(), 18);
    EXPECT_EQ(linkState.remote.remoteSize[2], 10);

    // An announced size past what a slot holds reads at most a whole slot.
    linkState.expectedSize = 200;
    arrive(DataPacket, 3, Bytes(68, 0x33));
    EXPECT_EQ(fakeNet.readLengths.back(), 76);
    EXPECT_EQ(linkState.remote.remoteSize[3], 68);
    EXPECT_EQ(linkState.remote.slots[3].payload[67], 0x33);
    fakeWindow.log.clear();
    fakeSystem.now += kRepeatPeriodMs; // a second later: the warnings are written again
    arrive(DataPacket, 4, Bytes(69));
    EXPECT_EQ(fakeWindow.log,
              "WARN: recv() failed (error #10040)\r\n"
              "WARN: bad UDP packet size (-1), expected 76\r\n");
    EXPECT_EQ(linkState.remote.remoteReceived, 3u);
}

TEST_F(ProtocolTest, ShortDatagramsAreReportedWithTheReadLength) {
    fakeNet.incoming.push_back({{1, 0, 0, 0}, address("127.0.0.5"), 4444});
    readDatagram();
    EXPECT_EQ(fakeWindow.log, "WARN: bad UDP packet size (4), expected 8\r\n");
    EXPECT_STREQ(linkState.remoteIp, "127.0.0.5"); // a read that worked names its sender
    EXPECT_EQ(linkState.remotePort, 4444);
    EXPECT_TRUE(fakeNet.sent.empty());

    connectAsListener();
    fakeSystem.now += kRepeatPeriodMs;
    fakeNet.incoming.push_back({{4, 0, 0, 0}, address("127.0.0.2"), 4000});
    readDatagram();
    EXPECT_EQ(fakeWindow.log, "WARN: bad UDP packet size (4), expected 74\r\n");
    EXPECT_EQ(linkState.remote.remoteReceived, 0u);

    // Nothing waiting, a second later: the failure and the size, two lines.
    fakeWindow.log.clear();
    fakeSystem.now += kRepeatPeriodMs;
    readDatagram();
    EXPECT_EQ(fakeWindow.log,
              "WARN: recv() failed (error #10035)\r\n"
              "WARN: bad UDP packet size (-1), expected 74\r\n");
    EXPECT_EQ(linkState.connectionState, Connected);
}

} // namespace
