// The plain values that cross the seams: little-endian integers, the serial
// port's time-outs and an IPv4 socket address. No code and no system header,
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

// IPv4 socket address; port and address in network byte order.
struct SocketAddress {
    uint16_t family;
    uint16_t port;
    uint32_t address;
};

constexpr uint16_t kAfInet = 2;
