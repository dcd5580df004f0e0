// The UDP endpoint over real Linux sockets on the loopback interface: binding,
// reads of datagrams longer than the read length, and the window loop's
// notification for each waiting datagram.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/exchange.h"
#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/view.h"
#include "fresh_program.h"
#include "net/endpoint.h"
#include "os/posix/system_posix.h"
#include "os/system.h"
#include "ui/posix/front_end.h"
#include "ui/posix/window_loop.h"

namespace {

int openFileCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// A plain socket bound to an ephemeral loopback port, standing for the peer
// (or, on another loopback address, for a stranger).
struct Peer {
    int fd = -1;
    uint16_t port = 0;
    explicit Peer(const char* address = "127.0.0.1") {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(address);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        socklen_t length = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~Peer() { close(fd); }
    void send(uint16_t toPort, const uint8_t* data, size_t length) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(toPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  ssize_t(length));
    }
    void sendDatagram(uint16_t toPort, uint32_t type, uint32_t sequence, int payload) const {
        uint8_t d[kSlotSize] = {};
        writeLe32(d, type);
        writeLe32(d + 4, sequence);
        for (int i = 0; i < payload; ++i) d[8 + i] = uint8_t(sequence + 1);
        send(toPort, d, size_t(8 + payload));
    }
};

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

class UdpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        startFreshProgram();
        copyText(linkState.localIp, sizeof linkState.localIp, "127.0.0.1");
        linkState.packetEvent = wakeEventCreate();
    }
    void TearDown() override {
        closeUdpSocket();
        wakeEventClose(linkState.packetEvent);
        linkState.packetEvent = nullptr;
    }

    // Opens the endpoint on an ephemeral port; returns the port.
    static uint16_t openEndpoint() {
        linkState.localPort = 0;
        if (openUdpSocket() != 1) return 0;
        sockaddr_in a{};
        socklen_t length = sizeof a;
        getsockname(int(linkState.udpSocket), reinterpret_cast<sockaddr*>(&a), &length);
        return ntohs(a.sin_port);
    }

    static std::string log() { return paneText(); }

    // remoteAddress for a peer on this machine, as accepting it would set it.
    static void acceptPeerAt(uint16_t port) {
        copyText(linkState.remoteIp, sizeof linkState.remoteIp, "127.0.0.1");
        linkState.remotePort = port;
        acceptPeer(); // its ConnectAccept comes back to us and is read as a control datagram
    }
};

TEST_F(UdpEndpointTest, BindingAPortInUseFailsAndLeavesNoSocket) {
    Peer holder;
    ASSERT_NE(holder.port, 0);
    linkState.localPort = holder.port;
    const int filesBefore = openFileCount();
    EXPECT_EQ(openUdpSocket(), 0);
    EXPECT_EQ(log(), "Opening UDP socket ...success\r\nBinding socket to 127.0.0.1:" +
                         std::to_string(holder.port) + " ...failed (error #" +
                         std::to_string(EADDRINUSE) + ").\r\n");
    EXPECT_EQ(linkState.udpSocket, 0u);
    EXPECT_EQ(openFileCount(), filesBefore); // the new socket was closed
    paneClear();
    closeUdpSocket();
    EXPECT_EQ(log(), "");
}

TEST_F(UdpEndpointTest, ADatagramLongerThanTheReadIsLostAndTheNextOneReads) {
    const uint16_t port = openEndpoint();
    ASSERT_NE(port, 0);
    Peer peer;
    linkState.connectionState = Listening;
    paneClear();

    peer.sendDatagram(port, ConnectRequest, 0, 1); // 9 bytes: one too many outside Connected
    peer.sendDatagram(port, ConnectRequest, 0, 0);
    ASSERT_TRUE(readable(int(linkState.udpSocket), 2000));
    readDatagram();
    EXPECT_EQ(log(), "WARN: recvfrom() failed (error #" + std::to_string(EMSGSIZE) +
                         ")\r\nWARN: bad UDP packet size (-1), expected 8\r\n");
    EXPECT_EQ(linkState.connectionState, Listening);

    paneClear();
    ASSERT_TRUE(readable(int(linkState.udpSocket), 2000));
    readDatagram();
    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_STREQ(linkState.remoteIp, "127.0.0.1");
    EXPECT_EQ(linkState.remotePort, peer.port);
    EXPECT_EQ(log(), "connected!\r\n");

    // The peer got the acceptance at its own address.
    ASSERT_TRUE(readable(peer.fd, 2000));
    uint8_t reply[16];
    ASSERT_EQ(recv(peer.fd, reply, sizeof reply, 0), 8);
    EXPECT_EQ(readLe32(reply), uint32_t(ConnectAccept));
    EXPECT_FALSE(readable(int(linkState.udpSocket), 0)); // the long one is gone
}

TEST_F(UdpEndpointTest, TheWindowLoopNotifiesOncePerWaitingDatagram) {
    const uint16_t port = openEndpoint();
    ASSERT_NE(port, 0);
    ASSERT_EQ(armSocketNotification(), 1);
    Peer peer;
    linkState.remoteAddress = {kAfInet, htons(peer.port), htonl(INADDR_LOOPBACK)};
    linkState.connectionState = Connected;
    paneClear();

    for (uint32_t s = 0; s < 3; ++s) peer.sendDatagram(port, DataPacket, s, 8 + int(s));
    ASSERT_TRUE(readable(int(linkState.udpSocket), 2000));

    // A pipe that stays readable runs this after every pass of the loop; it ends
    // the loop once nothing waits on the socket (or after a bound of passes).
    static int passes;
    static int socketFd;
    passes = 0;
    socketFd = int(linkState.udpSocket);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    windowLoopWatchInput(pipeFds[0], [] {
        ++passes;
        if (!readable(socketFd, 0) || passes >= 50) windowLoopQuit(0);
    });
    EXPECT_EQ(windowLoopRun(), 0);
    windowLoopWatchInput(-1, nullptr);
    close(pipeFds[0]);
    close(pipeFds[1]);

    EXPECT_EQ(passes, 3); // one datagram per pass
    EXPECT_EQ(linkState.remote.remoteReceived, 3u);
    EXPECT_EQ(linkState.remote.remoteStored, 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(linkState.remote.remoteSize[i], 8 + i);
        EXPECT_EQ(linkState.remote.slots[i].payload[0], uint8_t(i + 1));
    }
    EXPECT_EQ(log(), ""); // no notification without a datagram behind it
    EXPECT_TRUE(wakeEventTake(linkState.packetEvent));
}

// A stranger on another address of this machine tries everything that used to
// move a link; the link stays the peer's.
TEST_F(UdpEndpointTest, AStrangerCannotMoveAConnectedLink) {
    const uint16_t port = openEndpoint();
    ASSERT_NE(port, 0);
    Peer peer, stranger("127.0.0.2");
    ASSERT_NE(stranger.port, 0);
    linkState.remoteAddress = {kAfInet, htons(peer.port), htonl(INADDR_LOOPBACK)};
    linkState.connectionState = Connected;
    paneClear();

    stranger.sendDatagram(port, DataPacket, 0, 4);    // would reach the console
    stranger.sendDatagram(port, DataPacket, 1000, 4); // would skip the delivery ahead
    for (uint32_t s = 1; s <= 40; ++s) stranger.sendDatagram(port, DataPacket, s, 4); // overflow
    stranger.sendDatagram(port, DisconnectNotice, 0, 0);
    stranger.sendDatagram(port, ConnectRequest, 0, 0);
    peer.sendDatagram(port, DataPacket, 0, 4);
    while (readable(int(linkState.udpSocket), 200)) readDatagram();

    EXPECT_EQ(linkState.connectionState, Connected);
    EXPECT_EQ(linkState.remote.remoteReceived, 1u);
    EXPECT_EQ(linkState.remote.remoteStored, 1u);
    EXPECT_EQ(linkState.remote.slots[0].payload[0], 1); // the peer's packet, not the stranger's
    EXPECT_EQ(linkState.errorCount, 0u);
    EXPECT_FALSE(readable(stranger.fd, 0)); // no answer to anyone
    EXPECT_FALSE(readable(peer.fd, 0));
    // The first five written as they came, the rest counted for later.
    std::string five;
    for (int i = 0; i < 5; ++i)
        five += "WARN: ignored 1 datagram from 127.0.0.2:" + std::to_string(stranger.port) + "\r\n";
    EXPECT_EQ(log(), five);
}

// The port thread sends captured packets while the window thread files what
// arrives: here the endpoint is its own peer, so every packet sent comes back.
constexpr int kRoundTrips = 30;

int captureAndSend() {
    for (int n = 0; n < kRoundTrips; ++n) {
        {
            LinkLock lock;
            LocalRing& r = linkState.local;
            const int i = slotIndex(r.localCaptured);
            r.slots[i].type = DataPacket;
            r.slots[i].sequence = r.localCaptured;
            std::memset(r.slots[i].payload, n, 8);
            r.localSize[i] = 8;
            ++r.localCaptured;
            ++r.localStored;
        }
        sendStoredPackets();
    }
    return 0;
}

TEST_F(UdpEndpointTest, SendingAndFilingOnTwoThreads) {
    const uint16_t port = openEndpoint();
    ASSERT_NE(port, 0);
    acceptPeerAt(port);
    linkState.connectionState = Connected;
    paneClear();

    ThreadHandle* portThread = threadStart(captureAndSend);
    ASSERT_NE(portThread, nullptr);
    const uint32_t start = clockMs();
    for (;;) {
        {
            LinkLock lock;
            if (linkState.remote.remoteReceived == uint32_t(kRoundTrips)) break;
        }
        if (clockMs() - start > 5000) break;
        if (readable(int(linkState.udpSocket), 10)) readDatagram();
        deliverHandOffs();
    }
    while (!threadWait(portThread, 10)) deliverHandOffs();
    threadRelease(portThread);

    LinkLock lock;
    EXPECT_EQ(linkState.remote.remoteReceived, uint32_t(kRoundTrips));
    EXPECT_EQ(linkState.local.localSent, uint32_t(kRoundTrips));
    EXPECT_EQ(linkState.local.localStored, 0u);
    for (int s = 0; s < kRoundTrips; ++s) {
        EXPECT_EQ(uint32_t(linkState.remote.slots[s].sequence), uint32_t(s));
        EXPECT_EQ(linkState.remote.slots[s].payload[7], uint8_t(s));
    }
    // Every packet came back into the slot it was sent from: one ping sample each.
    EXPECT_EQ(linkState.pingSamples, uint32_t(kRoundTrips));
    EXPECT_EQ(log(), "");
}

} // namespace
