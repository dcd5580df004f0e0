// STUN answers as servers send them (RFC 5769's sample responses among them),
// answers that are not ours or do not parse, and what sets of answers say
// about a router.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/stun.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kId[kStunIdSize] = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
                                  0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

// RFC 5769, 2.2: a Binding success with SOFTWARE, XOR-MAPPED-ADDRESS
// 192.0.2.1:32853, MESSAGE-INTEGRITY and FINGERPRINT.
const Bytes kSampleIpv4 = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
    0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74,
    0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01,
    0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43, 0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99,
    0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9, 0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b,
    0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};

// RFC 5769, 2.3, with XOR-MAPPED-ADDRESS [2001:db8:1234:5678:11:2233:4455:6677]:32853
// (integrity and fingerprint are not checked: their bytes here are zero).
Bytes sampleIpv6() {
    Bytes b = {0x01, 0x01, 0x00, 0x48, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01,
               0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b,
               0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20,
               0x00, 0x20, 0x00, 0x14, 0x00, 0x02, 0xa1, 0x47, 0x01, 0x13, 0xa9, 0xfa,
               0xa5, 0xd3, 0xf1, 0x79, 0xbc, 0x25, 0xf4, 0xb5, 0xbe, 0xd2, 0xb9, 0xd9,
               0x00, 0x08, 0x00, 0x14};
    b.resize(b.size() + 20);
    for (uint8_t x : {0x80, 0x28, 0x00, 0x04, 0, 0, 0, 0}) b.push_back(x);
    return b;
}

std::string show(const StunEndpoint& e) {
    char out[64];
    formatStunEndpoint(e, true, out, sizeof out);
    return out;
}

// A Binding answer of the given type with these attributes after the header.
Bytes answer(uint16_t type, const Bytes& attributes) {
    Bytes b(kStunHeaderSize + attributes.size());
    const uint8_t head[8] = {uint8_t(type >> 8), uint8_t(type), uint8_t(attributes.size() >> 8),
                             uint8_t(attributes.size()), 0x21, 0x12, 0xa4, 0x42};
    std::copy(head, head + 8, b.begin());
    std::copy(kId, kId + kStunIdSize, b.begin() + 8);
    std::copy(attributes.begin(), attributes.end(), b.begin() + kStunHeaderSize);
    return b;
}

const Bytes kPlainMapped = {0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x0f, 0x87, 203, 0, 113, 7};
const Bytes kOther = {0x80, 0x2c, 0x00, 0x08, 0x00, 0x01, 0x0d, 0x97, 203, 0, 113, 101};

TEST(Stun, SampleAnswersGiveTheMappedAddress) {
    const Bytes six = sampleIpv6();
    const struct {
        const Bytes* datagram;
        const char* mapped;
    } rows[] = {
        {&kSampleIpv4, "192.0.2.1:32853"},
        {&six, "[2001:db8:1234:5678:11:2233:4455:6677]:32853"},
    };
    for (const auto& row : rows) {
        const StunAnswer a = stunParseAnswer(row.datagram->data(), int(row.datagram->size()), kId);
        EXPECT_EQ(a.outcome, StunMapped) << row.mapped;
        EXPECT_EQ(show(a.mapped), row.mapped);
    }
}

TEST(Stun, EachAnswerItsOutcome) {
    Bytes otherId = kSampleIpv4;
    otherId[19] ^= 1;
    Bytes request = kSampleIpv4;
    request[1] = 0x01; // type 0x0001: a Binding request
    request[0] = 0x00;
    Bytes cookie = kSampleIpv4;
    cookie[4] = 0x22;
    Bytes longer = kSampleIpv4;
    longer.push_back(0);
    Bytes lengthNotFour = kSampleIpv4;
    lengthNotFour[3] = 0x3b;
    lengthNotFour.pop_back();
    Bytes overrun = answer(0x0101, {0x00, 0x20, 0x00, 0x0c, 0x00, 0x01, 0, 0, 1, 2, 3, 4});
    Bytes family3 = answer(0x0101, {0x00, 0x20, 0x00, 0x08, 0x00, 0x03, 0, 0, 1, 2, 3, 4});
    Bytes shortV6 = answer(0x0101, {0x00, 0x20, 0x00, 0x08, 0x00, 0x02, 0, 0, 1, 2, 3, 4});
    Bytes bare = answer(0x0101, {0x80, 0x22, 0x00, 0x00});
    Bytes error420 = answer(0x0111, {0x00, 0x09, 0x00, 0x04, 0x00, 0x00, 0x04, 0x14});
    Bytes errorNoCode = answer(0x0111, {});
    Bytes errorClass2 = answer(0x0111, {0x00, 0x09, 0x00, 0x04, 0x00, 0x00, 0x02, 0x00});
    const struct {
        const char* what;
        Bytes datagram;
        StunOutcome outcome;
    } rows[] = {
        {"another transaction", otherId, StunIgnored},
        {"a request, not an answer", request, StunIgnored},
        {"not the magic cookie", cookie, StunIgnored},
        {"shorter than a header", Bytes(kSampleIpv4.begin(), kSampleIpv4.begin() + 19), StunIgnored},
        {"a byte past its length", longer, StunMalformed},
        {"length not a multiple of four", lengthNotFour, StunMalformed},
        {"attribute past the end", overrun, StunMalformed},
        {"unknown address family", family3, StunMalformed},
        {"IPv6 family with four bytes", shortV6, StunMalformed},
        {"success without an address", bare, StunMalformed},
        {"error 420", error420, StunRefused},
        {"error without its code", errorNoCode, StunMalformed},
        {"error class 2", errorClass2, StunMalformed},
    };
    for (const auto& row : rows) {
        const StunAnswer a = stunParseAnswer(row.datagram.data(), int(row.datagram.size()), kId);
        EXPECT_EQ(a.outcome, row.outcome) << row.what;
        if (row.outcome == StunRefused) {
            EXPECT_EQ(a.errorCode, 420) << row.what;
        }
    }
}

TEST(Stun, OldServersAndSecondAddresses) {
    // A server of RFC 3489's time sends MAPPED-ADDRESS only; when both come,
    // XOR-MAPPED-ADDRESS (which no router rewrites) wins.
    Bytes plain = answer(0x0101, kPlainMapped);
    StunAnswer a = stunParseAnswer(plain.data(), int(plain.size()), kId);
    EXPECT_EQ(a.outcome, StunMapped);
    EXPECT_EQ(show(a.mapped), "203.0.113.7:3975");

    Bytes both = kPlainMapped;
    both.insert(both.end(), kSampleIpv4.begin() + 36, kSampleIpv4.begin() + 48); // XOR-MAPPED
    both.insert(both.end(), kOther.begin(), kOther.end());
    Bytes b = answer(0x0101, both);
    a = stunParseAnswer(b.data(), int(b.size()), kId);
    EXPECT_EQ(show(a.mapped), "192.0.2.1:32853");
    EXPECT_EQ(show(a.other), "203.0.113.101:3479");
}

TEST(Stun, ShortestTextOfAnAddress) {
    const struct {
        Bytes address;
        const char* text;
    } rows[] = {
        {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:db8::1"},
        {Bytes(16, 0), "::"},
        {{0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3}, "1:0:0:2::3"}, // the longer run
        {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
    };
    for (const auto& row : rows) {
        StunEndpoint e{};
        e.family = 6;
        std::copy(row.address.begin(), row.address.end(), e.address);
        char out[64];
        formatStunEndpoint(e, false, out, sizeof out);
        EXPECT_STREQ(out, row.text);
    }
}

StunEndpoint v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    StunEndpoint e{};
    e.family = 4;
    e.port = port;
    e.address[0] = a;
    e.address[1] = b;
    e.address[2] = c;
    e.address[3] = d;
    return e;
}

TEST(Stun, WhatTheAnswersSayAboutTheRouter) {
    const StunEndpoint one = v4(203, 0, 113, 100, 3478), two = v4(203, 0, 113, 101, 3478);
    const StunEndpoint kept = v4(198, 51, 100, 1, 3975), moved = v4(198, 51, 100, 1, 40000);
    const StunEndpoint own = v4(198, 51, 100, 1, 0), home = v4(192, 168, 1, 10, 0);
    const StunEndpoint none{};
    const struct {
        const char* what;
        std::vector<StunProbe> probes;
        std::vector<StunEndpoint> local;
        NatKind kind;
    } rows[] = {
        {"nobody answered", {{one, false, none}, {two, false, none}}, {home}, NatBlocked},
        {"public address is this machine's", {{one, true, kept}, {two, false, none}}, {home, own},
         NatNone},
        {"same mapping, port kept", {{one, true, kept}, {two, true, kept}}, {home}, NatKeepsPort},
        {"same mapping, port moved", {{one, true, moved}, {two, true, moved}}, {home},
         NatKeepsMapping},
        {"own address, port moved", {{one, true, moved}, {two, true, moved}}, {own},
         NatKeepsMapping},
        {"a mapping each", {{one, true, kept}, {two, true, moved}}, {home}, NatPerDestination},
        {"one answer", {{one, true, kept}, {two, false, none}}, {home}, NatUnknown},
        {"one server listed twice", {{one, true, kept}, {one, true, kept}}, {home}, NatUnknown},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(classifyNat(row.probes.data(), int(row.probes.size()), 3975, row.local.data(),
                              int(row.local.size())),
                  row.kind)
            << row.what;
    }
}

} // namespace
