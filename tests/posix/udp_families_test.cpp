// The socket layer's two families on Linux: address text both ways, an IPv4
// peer as it arrives on a socket of both families included. (Such a socket
// carrying a link to an IPv4 peer: tests/net/nat_check_test.py.)
#include <arpa/inet.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <string>

#include "os/udp.h"

namespace {

TEST(UdpFamilies, AddressText) {
    const std::string local = "fe80::1%lo";
    const struct {
        std::string text;
        uint16_t family; // 0: refused
        std::string shown; // netAddressText of the result
    } rows[] = {
        {"2001:0db8:0:0::0001", kAfInet6, "2001:db8::1"},
        {local, kAfInet6, local},
        {"::ffff:192.0.2.1", kAfInet, "192.0.2.1"}, // an IPv4 peer, as it arrives mapped
        {"2001:db8::g", 0, ""},
        {"[2001:db8::1]", 0, ""},
    };
    for (const auto& row : rows) {
        SocketAddress a{};
        EXPECT_EQ(netMakeAddress(row.text.c_str(), 3975, &a), row.family != 0) << row.text;
        if (row.family == 0) continue;
        EXPECT_EQ(a.family, row.family) << row.text;
        char out[kAddressTextSize];
        netAddressText(a, out);
        EXPECT_EQ(out, row.shown) << row.text;
    }
    SocketAddress scoped{};
    netMakeAddress(local.c_str(), 1, &scoped);
    EXPECT_EQ(scoped.scope, if_nametoindex("lo"));
}

} // namespace
