// The socket layer's two families on Linux: address text both ways, an IPv4
// peer as it arrives on a socket of both families included. (Such a socket
// carrying a link to an IPv4 peer: tests/net/ipv6_test.py.)
#include <arpa/inet.h>
#include <net/if.h>

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

} // namespace
