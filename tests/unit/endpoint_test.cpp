// The UDP endpoint against the fake socket library: start-up and the host's
// addresses, opening and binding, the read notification, closing.
#include <vector>

#include "doubles/fakes.h"
#include "net/endpoint.h"
#include "os/udp.h"

namespace {

using EndpointTest = LinkTest;

TEST_F(EndpointTest, StartUpRecordsTheHostsAddresses) {
    fakeNet.hostAddresses = {};
    for (uint32_t i = 1; i <= 12; ++i) fakeNet.hostAddresses.push_back(0x0000000Au | i << 24);
    EXPECT_EQ(startWinsock(), 1);
    EXPECT_EQ(fakeWindow.log, "Initializing  WinSock...success\r\n");
    ASSERT_EQ(linkState.localAddressCount, 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(linkState.localAddresses[i], fakeNet.hostAddresses[i]);
}

TEST_F(EndpointTest, AnEmptyAddressListStillStarts) {
    fakeNet.hostAddresses = {};
    EXPECT_EQ(startWinsock(), 1);
    EXPECT_EQ(linkState.localAddressCount, 0);
    EXPECT_EQ(linkState.localAddresses[0], 0u);
    EXPECT_EQ(fakeWindow.log, "Initializing  WinSock...success\r\n");
}

TEST_F(EndpointTest, StartUpFailures) {
    fakeNet.startupResult = 10091;
    EXPECT_EQ(startWinsock(), 0);
    EXPECT_EQ(fakeWindow.log, "Initializing  WinSock...WSAStartup() failed (error 10091).\r\n");
    EXPECT_EQ(linkState.localAddressCount, 0);

    // Each way the host's name can fail: the library stays started, no addresses.
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        resetFakes();
        fakeNet.hostNameFails = way == 0;
        if (way == 1) fakeNet.hostName = "";
        fakeNet.resolveFails = way == 2;
        EXPECT_EQ(startWinsock(), 0);
        EXPECT_EQ(fakeWindow.log,
                  "Initializing  WinSock...success\r\nfailed. Unable to resolve host name.\r\n");
        EXPECT_EQ(linkState.localAddressCount, 0);
        EXPECT_EQ(fakeNet.cleanups, 0);
    }
}

TEST_F(EndpointTest, OpenBindArmAndClose) {
    copyText(linkState.localIp, sizeof linkState.localIp, "127.0.0.1");
    linkState.localPort = 3976;
    EXPECT_EQ(openUdpSocket(), 1);
    EXPECT_EQ(fakeWindow.log,
              "Opening UDP socket ...success\r\nBinding socket to 127.0.0.1:3976 ...success\r\n");
    ASSERT_EQ(fakeNet.binds.size(), 1u);
    EXPECT_EQ(fakeNet.binds[0].family, kAfInet);
    EXPECT_EQ(fakeNet.binds[0].port, netToNetworkPort(3976));
    EXPECT_EQ(fakeNet.binds[0].address, netParseAddress("127.0.0.1"));
    EXPECT_EQ(linkState.udpSocket, 100u);

    fakeWindow.log.clear();
    EXPECT_EQ(armSocketNotification(), 1);
    EXPECT_EQ(fakeNet.arms, 1);
    EXPECT_EQ(fakeWindow.log, "");

    closeUdpSocket();
    EXPECT_EQ(fakeWindow.log, "Closing socket\r\n");
    EXPECT_EQ(fakeNet.closed, std::vector<uintptr_t>{100});
    EXPECT_EQ(fakeNet.notifyStops, std::vector<uintptr_t>{100});
    EXPECT_EQ(linkState.udpSocket, 0u);
    closeUdpSocket(); // nothing open: silent
    EXPECT_EQ(fakeWindow.log, "Closing socket\r\n");
    EXPECT_EQ(fakeNet.closed.size(), 1u);
}

TEST_F(EndpointTest, OpenFailures) {
    copyText(linkState.localIp, sizeof linkState.localIp, "127.0.0.1");
    fakeNet.socketFails = true;
    fakeNet.lastError = 10024;
    EXPECT_EQ(openUdpSocket(), 0);
    EXPECT_EQ(fakeWindow.log, "Opening UDP socket ...failed (error #10024).\r\n");
    EXPECT_TRUE(fakeNet.binds.empty());

    // A failed bind closes the new socket and leaves none behind.
    fakeWindow.log.clear();
    fakeNet.socketFails = false;
    fakeNet.bindFails = true;
    fakeNet.lastError = 10048;
    EXPECT_EQ(openUdpSocket(), 0);
    EXPECT_EQ(fakeWindow.log,
              "Opening UDP socket ...success\r\n"
              "Binding socket to 127.0.0.1:3975 ...failed (error #10048).\r\n");
    EXPECT_EQ(fakeNet.closed, std::vector<uintptr_t>{100});
    EXPECT_EQ(linkState.udpSocket, 0u);
    fakeWindow.log.clear();
    closeUdpSocket();
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_EQ(fakeNet.closed.size(), 1u);

    // A socket that cannot notify stays open until the next close.
    fakeNet.bindFails = false;
    ASSERT_EQ(openUdpSocket(), 1);
    fakeWindow.log.clear();
    fakeNet.armFails = true;
    fakeNet.lastError = 10022;
    EXPECT_EQ(armSocketNotification(), 0);
    EXPECT_EQ(fakeWindow.log, "WSAAsyncSelect() failed (error #10022).\r\n");
    EXPECT_EQ(linkState.udpSocket, 101u);
}

} // namespace
