// IPv6 peers through the portable logic, with the socket layer speaking both
// families as on Linux: the dialogs take IPv6 text (and refuse it as WinSock
// 1.1 would where it does not), and only the peer drives the link.
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "core/protocol.h"
#include "doubles/fake_widgets.h"
#include "doubles/fakes.h"
#include "os/udp.h"
#include "ui/panel.h"
#include "ui/resource.h"

namespace {

class Ipv6Link : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        resetFakeWidgets();
        fakeNet.ipv6 = true;
        ASSERT_EQ(initPanel(), 1);
    }

    // Settings accepted with this local address, then Connect to remote, if any.
    static void settingsThenConnect(const std::string& local, const std::string& remote) {
        fakeWidgets.onSettingsDialog = [local](DialogWindow& d) {
            d.type(IDC_LOCAL_ADDRESS, local);
            settingsDialogOk(&d);
        };
        fakeWidgets.onConnectDialog = [remote](DialogWindow& d) {
            d.type(IDC_REMOTE_ADDRESS, remote);
            d.type(IDC_REMOTE_PORT, "3975");
            connectDialogOk(&d);
        };
        panelCommand(IDC_SETTINGS);
        if (!remote.empty()) panelCommand(IDC_CONNECT);
    }

    static void arrive(uint32_t type, const char* from, uint16_t port) {
        SocketAddress sender{};
        netMakeAddress(from, port, &sender);
        fakeNet.incoming.push_back({datagram(type, 0), 0, port, sender});
        readDatagram();
    }
};

TEST_F(Ipv6Link, DialogsTakeIpv6WhereTheLayerSpeaksIt) {
    const std::string longest = "2001:db8:1234:5678:9abc:def0:1234:5678";
    const struct {
        bool ipv6;
        std::string local, remote;
        std::vector<std::string> boxes;
    } rows[] = {
        {true, "::", longest, {}},
        {true, "2001:db8::g", "", {"Valid local IP required"}},
        {false, "::", "", {"Valid local IP required"}},
        {false, "0.0.0.0", "2001:db8::2", {"Valid IP address required"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.local + " " + row.remote);
        SetUp();
        fakeNet.ipv6 = row.ipv6;
        settingsThenConnect(row.local, row.remote);
        EXPECT_EQ(fakeWidgets.errorBoxes, row.boxes);
        if (!row.boxes.empty()) continue;
        ASSERT_EQ(fakeNet.sent.size(), 1u);
        char to[kAddressTextSize];
        netAddressText(fakeNet.sent[0].to, to);
        EXPECT_EQ(to, row.remote); // whole, not cut to 19 characters
        EXPECT_EQ(fakeNet.socketFamilies, std::vector<uint16_t>{kAfInet6});
    }
}

TEST_F(Ipv6Link, OnlyThePeerDrivesTheLink) {
    settingsThenConnect("::", "2001:db8::2");
    // Another host's answer is dropped; the peer's, from another port, connects.
    arrive(ConnectAccept, "2001:db8::3", 3975);
    EXPECT_EQ(linkState.connectionState, Connecting);
    EXPECT_NE(fakeWindow.log.find("WARN: ignored 1 datagram from [2001:db8::3]:3975\r\n"),
              std::string::npos);
    arrive(ConnectAccept, "2001:db8::2", 41000);
    EXPECT_EQ(linkState.connectionState, Connected);

    // Connected: the peer's address and port only.
    const size_t sent = fakeNet.sent.size();
    arrive(ConnectRequest, "2001:db8::2", 3975);
    arrive(ConnectRequest, "2001:db8::3", 41000);
    EXPECT_EQ(fakeNet.sent.size(), sent);
    arrive(ConnectRequest, "2001:db8::2", 41000);
    ASSERT_EQ(fakeNet.sent.size(), sent + 1);
    EXPECT_EQ(readLe32(fakeNet.sent.back().data.data()), uint32_t(ConnectAccept));
    EXPECT_EQ(fakeNet.sent.back().to.port, htons(41000));
}

} // namespace
