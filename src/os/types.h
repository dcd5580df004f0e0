// The plain values that cross the seams: little-endian integers, the serial
// port's time-outs and a socket address. No code and no system header,
// so a platform file can take them without the link state.
#pragma once

#include <cstdint>

// A 32-bit integer stored little-endian whatever the host, so a slot is the
// byte image of a datagram on every platform.
struct LeU32 {
    uint8_t bytes[4];
    operator uint32_t() const {
        return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
               uint32_t(bytes[3]) << 24;
    }
    LeU32& operator=(uint32_t v) {
        bytes[0] = uint8_t(v);
        bytes[1] = uint8_t(v >> 8);
        bytes[2] = uint8_t(v >> 16);
        bytes[3] = uint8_t(v >> 24);
        return *this;
    }
};

inline uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void writeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The port's own time-outs, in milliseconds.
struct CommTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

// A socket address; port and addresses in network byte order. IPv4 (the only
// family WinSock 1.1 has) in address; IPv6, where the platform speaks it, in
// address6 with its interface (scope) for link-local addresses.
struct SocketAddress {
    uint16_t family;
    uint16_t port;
    uint32_t address;
    uint8_t address6[16] = {};
    uint32_t scope = 0;
};

constexpr uint16_t kAfInet = 2;
constexpr uint16_t kAfInet6 = 10; // the program's own value; each platform maps it

// Room for an address as text with its end: IPv6 with a scope name.
constexpr int kAddressTextSize = 64;

inline bool sameHost(const SocketAddress& a, const SocketAddress& b) {
    if (a.family != b.family) return false;
    if (a.family != kAfInet6) return a.address == b.address;
    for (int i = 0; i < 16; ++i) {
        if (a.address6[i] != b.address6[i]) return false;
    }
    return a.scope == b.scope;
}

inline bool sameEndpoint(const SocketAddress& a, const SocketAddress& b) {
    return sameHost(a, b) && a.port == b.port;
}

// Whether an address is set (not all zero).
inline bool hasHost(const SocketAddress& a) {
    if (a.family != kAfInet6) return a.address != 0;
    for (uint8_t byte : a.address6) {
        if (byte != 0) return true;
    }
    return false;
}
