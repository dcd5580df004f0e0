// The socket layer's two families on Linux: address text both ways, and a
// socket of both families on the loopback interface that hands an IPv4 peer up
// as IPv4 and reaches it again.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "os/udp.h"

namespace {

TEST(UdpFamilies, AddressText) {
    const std::string lo = "%" + std::string("lo");
    const struct {
        std::string text;
        int ok;
        uint16_t family;
        std::string shown; // netAddressText of the result
    } rows[] = {
        {"192.0.2.1", 1, kAfInet, "192.0.2.1"},
        {"2001:db8::1", 1, kAfInet6, "2001:db8::1"},
        {"2001:0db8:0:0::0001", 1, kAfInet6, "2001:db8::1"},
        {"::", 1, kAfInet6, "::"},
        {"fe80::1" + lo, 1, kAfInet6, "fe80::1" + lo},
        {"::ffff:192.0.2.1", 1, kAfInet, "192.0.2.1"}, // an IPv4 peer, as it arrives mapped
        {"255.255.255.255", 0, kAfInet, "255.255.255.255"},
        {"2001:db8::g", 0, kAfInet, "255.255.255.255"},
        {"[2001:db8::1]", 0, kAfInet, "255.255.255.255"},
        {"no.such.host", 0, kAfInet, "255.255.255.255"},
    };
    for (const auto& row : rows) {
        SocketAddress a{};
        EXPECT_EQ(netMakeAddress(row.text.c_str(), 3975, &a), row.ok) << row.text;
        EXPECT_EQ(a.family, row.family) << row.text;
        EXPECT_EQ(a.port, htons(3975)) << row.text;
        char out[kAddressTextSize];
        netAddressText(a, out);
        EXPECT_EQ(out, row.shown) << row.text;
    }
    SocketAddress scoped{};
    netMakeAddress(("fe80::1" + lo).c_str(), 1, &scoped);
    EXPECT_EQ(scoped.scope, if_nametoindex("lo"));
}

// A datagram waiting on fd within a second, read with the layer.
int readWithin(uintptr_t fd, uint8_t* buffer, int length, SocketAddress* from) {
    pollfd p{int(fd), POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return -2;
    return netRecvFrom(fd, buffer, length, from);
}

uint16_t boundPort(int fd) {
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    getsockname(fd, reinterpret_cast<sockaddr*>(&s), &length);
    return s.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&s)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&s)->sin_port;
}

TEST(UdpFamilies, ASocketOfBothFamiliesSeesAnIpv4PeerAsIpv4) {
    const uintptr_t both = netSocket(kAfInet6);
    ASSERT_NE(both, 0u);
    SocketAddress any{};
    ASSERT_EQ(netMakeAddress("::", 0, &any), 1);
    ASSERT_EQ(netBind(both, any), 1);
    const uint16_t port = boundPort(int(both));

    const uintptr_t four = netSocket(kAfInet);
    SocketAddress loopback4{};
    netMakeAddress("127.0.0.1", 0, &loopback4);
    ASSERT_EQ(netBind(four, loopback4), 1);
    const uintptr_t six = netSocket(kAfInet6);
    SocketAddress loopback6{};
    netMakeAddress("::1", 0, &loopback6);
    ASSERT_EQ(netBind(six, loopback6), 1);

    const struct {
        uintptr_t from;
        const char* to;
        uint16_t family;
        const char* sender;
    } rows[] = {
        {four, "127.0.0.1", kAfInet, "127.0.0.1"},
        {six, "::1", kAfInet6, "::1"},
    };
    for (const auto& row : rows) {
        SocketAddress to{};
        netMakeAddress(row.to, 0, &to);
        to.port = port;
        const uint8_t hello[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(netSendTo(row.from, hello, 8, to), 8) << row.to;
        uint8_t buffer[8];
        SocketAddress sender{};
        ASSERT_EQ(readWithin(both, buffer, 8, &sender), 8) << row.to;
        EXPECT_EQ(sender.family, row.family);
        EXPECT_EQ(sender.port, boundPort(int(row.from)));
        char text[kAddressTextSize];
        netAddressText(sender, text);
        EXPECT_STREQ(text, row.sender);

        // The answer goes back to the sender as it was handed up.
        const uint8_t accept[8] = {2, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(netSendTo(both, accept, 8, sender), 8) << row.to;
        SocketAddress back{};
        ASSERT_EQ(readWithin(row.from, buffer, 8, &back), 8) << row.to;
        EXPECT_EQ(buffer[0], 2);
        EXPECT_EQ(back.port, port);
    }
    for (uintptr_t s : {both, four, six}) netCloseSocket(s);
}

} // namespace
