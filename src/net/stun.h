// STUN (RFC 5389) as `zavik check` speaks it: Binding requests, their answers,
// and what a set of answers says about the router in front of this machine.
// Portable: bytes in, bytes out, no socket.
#pragma once

#include <cstdint>

constexpr int kStunHeaderSize = 20;
constexpr int kStunIdSize = 12;
constexpr uint32_t kStunMagicCookie = 0x2112A442u;
constexpr uint16_t kStunDefaultPort = 3478;

// An address as STUN carries it: family 4 or 6, port in host order, the
// address bytes in network order (the first four for IPv4).
struct StunEndpoint {
    int family; // 0 = none
    uint16_t port;
    uint8_t address[16];
};

bool sameStunEndpoint(const StunEndpoint& a, const StunEndpoint& b);
bool sameStunAddress(const StunEndpoint& a, const StunEndpoint& b);
// "203.0.113.1:3975" or "[2001:db8::1]:3975" into out (at least 48 bytes);
// withPort false leaves the port and the brackets out.
void formatStunEndpoint(const StunEndpoint& e, bool withPort, char* out, int size);

// A Binding request with the given transaction id: 20 bytes written to out.
int stunBindingRequest(const uint8_t id[kStunIdSize], uint8_t* out);

enum StunOutcome {
    StunIgnored,   // not a STUN answer to this transaction: drop it
    StunMapped,    // a Binding success with this side's public address
    StunRefused,   // a Binding error (errorCode says which)
    StunMalformed, // claims to answer this transaction but does not parse
};

struct StunAnswer {
    StunOutcome outcome;
    StunEndpoint mapped; // XOR-MAPPED-ADDRESS, else MAPPED-ADDRESS
    StunEndpoint other;  // OTHER-ADDRESS (RFC 5780), when the server has one
    int errorCode;       // 300..699 for StunRefused
};

// Reads one datagram that came from a server asked with transaction id.
// Never reads outside data[0..length).
StunAnswer stunParseAnswer(const uint8_t* data, int length, const uint8_t id[kStunIdSize]);

// What the answers of several servers, all asked from one local port, say.
enum NatKind {
    NatBlocked,        // no server answered
    NatNone,           // the public address is one of this machine's own
    NatKeepsPort,      // one mapping for every destination, with the local port
    NatKeepsMapping,   // one mapping for every destination, on another port
    NatPerDestination, // each destination its own mapping
    NatUnknown,        // one answer only: no second destination to compare with
};

struct StunProbe {
    StunEndpoint server;
    bool answered;
    StunEndpoint mapped;
};

// probes: every server asked; local: this machine's own addresses.
NatKind classifyNat(const StunProbe* probes, int count, uint16_t localPort,
                    const StunEndpoint* local, int localCount);
