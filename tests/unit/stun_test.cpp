// STUN answers as servers send them (RFC 5769's sample responses among them)
// and answers that are not ours or do not parse; what answers say about a
// router where the test bed has no such router.
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

// The IPv4 sample with bytes changed, cut or added.
Bytes sample(std::vector<std::pair<int, uint8_t>> set, int size = 80) {
    Bytes b = kSampleIpv4;
    for (auto [at, value] : set) b[at] = value;
    b.resize(size);
    return b;
}

// A Binding answer of the given type with these attributes after the header.
Bytes answer(uint16_t type, const Bytes& attributes) {
    Bytes b(kStunHeaderSize + attributes.size());
    const uint8_t head[8] = {uint8_t(type >> 8), uint8_t(type), 0, uint8_t(attributes.size()),
                             0x21, 0x12, 0xa4, 0x42};
    std::copy(head, head + 8, b.begin());
    std::copy(kId, kId + kStunIdSize, b.begin() + 8);
    std::copy(attributes.begin(), attributes.end(), b.begin() + kStunHeaderSize);
    return b;
}

const Bytes kPlainMapped = {0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x0f, 0x87, 203, 0, 113, 7};

std::string show(const StunEndpoint& e, bool withPort = true) {
    char out[64];
    formatStunEndpoint(e, withPort, out, sizeof out);
    return out;
}

TEST(Stun, EachAnswerItsOutcome) {
    Bytes both = kPlainMapped; // XOR-MAPPED-ADDRESS, which no router rewrites, wins
    both.insert(both.end(), kSampleIpv4.begin() + 36, kSampleIpv4.begin() + 48);
    const struct {
        const char* what;
        Bytes datagram;
        StunOutcome outcome;
        std::string mapped;
    } rows[] = {
        {"RFC 5769 IPv4 sample", kSampleIpv4, StunMapped, "192.0.2.1:32853"},
        {"RFC 5769 IPv6 sample", sampleIpv6(), StunMapped,
         "[2001:db8:1234:5678:11:2233:4455:6677]:32853"},
        {"MAPPED-ADDRESS only (RFC 3489)", answer(0x0101, kPlainMapped), StunMapped,
         "203.0.113.7:3975"},
        {"both address attributes", answer(0x0101, both), StunMapped, "192.0.2.1:32853"},
        {"another transaction", sample({{19, 0xaf}}), StunIgnored, ""},
        {"a request, not an answer", sample({{0, 0}, {1, 0x01}}), StunIgnored, ""},
        {"not the magic cookie", sample({{4, 0x22}}), StunIgnored, ""},
        {"shorter than a header", sample({}, 19), StunIgnored, ""},
        {"a byte past its length", sample({}, 81), StunMalformed, ""},
        {"attribute past the end", answer(0x0101, {0, 0x20, 0, 12, 0, 1, 0, 0, 1, 2, 3, 4}),
         StunMalformed, ""},
        {"IPv6 family with four bytes", answer(0x0101, {0, 0x20, 0, 8, 0, 2, 0, 0, 1, 2, 3, 4}),
         StunMalformed, ""},
        {"success without an address", answer(0x0101, {0x80, 0x22, 0, 0}), StunMalformed, ""},
        {"error 420", answer(0x0111, {0x00, 0x09, 0x00, 0x04, 0, 0, 4, 20}), StunRefused, ""},
    };
    for (const auto& row : rows) {
        const StunAnswer a = stunParseAnswer(row.datagram.data(), int(row.datagram.size()), kId);
        EXPECT_EQ(a.outcome, row.outcome) << row.what;
        if (row.outcome == StunMapped) {
            EXPECT_EQ(show(a.mapped), row.mapped) << row.what;
        }
        if (row.outcome == StunRefused) {
            EXPECT_EQ(a.errorCode, 420) << row.what;
        }
    }
}

TEST(Stun, Ipv6TextShortensTheLongestRunOfZerosOnly) {
    const StunEndpoint runs{6, 0, {0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3}};
    const StunEndpoint one{6, 0, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}};
    EXPECT_EQ(show(runs, false), "1:0:0:2::3");
    EXPECT_EQ(show(one, false), "2001:db8:0:1:1:1:1:1");
}

TEST(Stun, RoutersTheBedDoesNotHave) {
    const StunEndpoint one{4, 3478, {203, 0, 113, 100}}, two{4, 3478, {203, 0, 113, 101}};
    const StunEndpoint kept{4, 3975, {198, 51, 100, 1}}, moved{4, 40000, {198, 51, 100, 1}};
    const StunEndpoint own{4, 0, {198, 51, 100, 1}}, home{4, 0, {192, 168, 1, 10}}, none{};
    const struct {
        const char* what;
        std::vector<StunProbe> probes;
        StunEndpoint local;
        NatKind kind;
    } rows[] = {
        {"same mapping, port moved", {{one, true, moved}, {two, true, moved}}, home,
         NatKeepsMapping},
        {"own address, port moved", {{one, true, moved}, {two, true, moved}}, own,
         NatKeepsMapping},
        {"one answer", {{one, true, kept}, {two, false, none}}, home, NatUnknown},
        {"one server listed twice", {{one, true, kept}, {one, true, kept}}, home, NatUnknown},
    };
    for (const auto& row : rows) {
        const int count = int(row.probes.size());
        EXPECT_EQ(classifyNat(row.probes.data(), count, 3975, &row.local, 1), row.kind) << row.what;
    }
}

} // namespace
