// STUN Binding requests and answers (RFC 5389), and the reading of a router's
// mapping from the answers of several servers.
#include "net/stun.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t kBindingRequest = 0x0001;
constexpr uint16_t kBindingSuccess = 0x0101;
constexpr uint16_t kBindingError = 0x0111;
constexpr uint16_t kMappedAddress = 0x0001;
constexpr uint16_t kErrorCode = 0x0009;
constexpr uint16_t kXorMappedAddress = 0x0020;
constexpr uint16_t kOtherAddress = 0x802C;

uint16_t read16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void write16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void write32(uint8_t* p, uint32_t v) {
    write16(p, uint16_t(v >> 16));
    write16(p + 2, uint16_t(v));
}

// An address attribute's value (MAPPED-ADDRESS layout); with xorKey, the
// XOR-MAPPED-ADDRESS one, whose port and address are xored with the cookie
// and the transaction id. False when the value does not fit its family.
bool readAddress(const uint8_t* value, int length, const uint8_t* xorKey, StunEndpoint* out) {
    if (length < 4) return false;
    const uint8_t family = value[1];
    const int size = family == 0x01 ? 4 : family == 0x02 ? 16 : 0;
    if (size == 0 || length != 4 + size) return false;
    StunEndpoint e{};
    e.family = size == 4 ? 4 : 6;
    e.port = read16(value + 2);
    std::memcpy(e.address, value + 4, size_t(size));
    if (xorKey != nullptr) {
        e.port ^= read16(xorKey);
        for (int i = 0; i < size; ++i) e.address[i] ^= xorKey[i];
    }
    *out = e;
    return true;
}

} // namespace

bool sameStunAddress(const StunEndpoint& a, const StunEndpoint& b) {
    if (a.family != b.family || a.family == 0) return false;
    return std::memcmp(a.address, b.address, a.family == 4 ? 4 : 16) == 0;
}

bool sameStunEndpoint(const StunEndpoint& a, const StunEndpoint& b) {
    return sameStunAddress(a, b) && a.port == b.port;
}

void formatStunEndpoint(const StunEndpoint& e, bool withPort, char* out, int size) {
    if (size <= 0) return;
    char host[48];
    if (e.family == 4) {
        std::snprintf(host, sizeof host, "%u.%u.%u.%u", e.address[0], e.address[1],
                      e.address[2], e.address[3]);
    } else if (e.family == 6) {
        // The shortest form: the longest run of two or more zero groups as "::".
        uint16_t g[8];
        for (int i = 0; i < 8; ++i) g[i] = read16(e.address + 2 * i);
        int bestStart = -1, bestLength = 1;
        for (int i = 0; i < 8;) {
            int j = i;
            while (j < 8 && g[j] == 0) ++j;
            if (j - i > bestLength) {
                bestStart = i;
                bestLength = j - i;
            }
            i = j == i ? i + 1 : j;
        }
        int n = 0;
        for (int i = 0; i < 8; ++i) {
            if (i == bestStart) {
                n += std::snprintf(host + n, sizeof host - size_t(n), "::");
                i += bestLength - 1;
                continue;
            }
            const bool afterGap = bestStart >= 0 && i == bestStart + bestLength;
            n += std::snprintf(host + n, sizeof host - size_t(n), "%s%x",
                               i == 0 || afterGap ? "" : ":", g[i]);
        }
    } else {
        std::snprintf(host, sizeof host, "none");
    }
    if (!withPort || e.family == 0) {
        std::snprintf(out, size_t(size), "%s", host);
    } else if (e.family == 6) {
        std::snprintf(out, size_t(size), "[%s]:%u", host, e.port);
    } else {
        std::snprintf(out, size_t(size), "%s:%u", host, e.port);
    }
}

int stunBindingRequest(const uint8_t id[kStunIdSize], uint8_t* out) {
    write16(out, kBindingRequest);
    write16(out + 2, 0); // no attributes
    write32(out + 4, kStunMagicCookie);
    std::memcpy(out + 8, id, kStunIdSize);
    return kStunHeaderSize;
}

StunAnswer stunParseAnswer(const uint8_t* data, int length, const uint8_t id[kStunIdSize]) {
    StunAnswer answer{};
    answer.outcome = StunIgnored;
    if (data == nullptr || length < kStunHeaderSize) return answer;
    const uint16_t type = read16(data);
    if (type != kBindingSuccess && type != kBindingError) return answer;
    if (read32(data + 4) != kStunMagicCookie) return answer;
    if (std::memcmp(data + 8, id, kStunIdSize) != 0) return answer;

    // From here on it is an answer to this transaction: it parses or is malformed.
    answer.outcome = StunMalformed;
    const int bodyLength = read16(data + 2);
    if (bodyLength % 4 != 0 || kStunHeaderSize + bodyLength != length) return answer;

    uint8_t xorKey[16];
    write32(xorKey, kStunMagicCookie);
    std::memcpy(xorKey + 4, id, kStunIdSize);

    bool haveXor = false, havePlain = false, haveError = false;
    StunEndpoint xorMapped{}, plainMapped{};
    int errorCode = 0;
    int at = kStunHeaderSize;
    while (at < length) {
        if (length - at < 4) return answer;
        const uint16_t attribute = read16(data + at);
        const int valueLength = read16(data + at + 2);
        const int padded = (valueLength + 3) & ~3;
        if (padded > length - at - 4) return answer;
        const uint8_t* value = data + at + 4;
        if (attribute == kXorMappedAddress && !haveXor) {
            if (!readAddress(value, valueLength, xorKey, &xorMapped)) return answer;
            haveXor = true;
        } else if (attribute == kMappedAddress && !havePlain) {
            if (!readAddress(value, valueLength, nullptr, &plainMapped)) return answer;
            havePlain = true;
        } else if (attribute == kOtherAddress && answer.other.family == 0) {
            if (!readAddress(value, valueLength, nullptr, &answer.other)) answer.other = {};
        } else if (attribute == kErrorCode && !haveError) {
            if (valueLength < 4) return answer;
            const int errorClass = value[2] & 0x07;
            const int number = value[3];
            if (errorClass < 3 || errorClass > 6 || number > 99) return answer;
            errorCode = errorClass * 100 + number;
            haveError = true;
        }
        at += 4 + padded;
    }

    if (type == kBindingError) {
        if (!haveError) return answer;
        answer.outcome = StunRefused;
        answer.errorCode = errorCode;
        return answer;
    }
    if (!haveXor && !havePlain) return answer;
    answer.outcome = StunMapped;
    answer.mapped = haveXor ? xorMapped : plainMapped;
    return answer;
}

NatKind classifyNat(const StunProbe* probes, int count, uint16_t localPort,
                    const StunEndpoint* local, int localCount) {
    const StunProbe* first = nullptr;
    int destinations = 0; // servers answering, each address and port counted once
    for (int i = 0; i < count; ++i) {
        if (!probes[i].answered) continue;
        bool seen = false;
        for (int j = 0; j < i; ++j) {
            seen = seen || (probes[j].answered && sameStunEndpoint(probes[j].server, probes[i].server));
        }
        if (!seen) ++destinations;
        if (first == nullptr) {
            first = &probes[i];
        } else if (!sameStunEndpoint(first->mapped, probes[i].mapped)) {
            return NatPerDestination;
        }
    }
    if (first == nullptr) return NatBlocked;
    bool own = false;
    for (int i = 0; i < localCount; ++i) own = own || sameStunAddress(local[i], first->mapped);
    if (own && first->mapped.port == localPort) return NatNone;
    if (destinations < 2) return NatUnknown;
    return first->mapped.port == localPort ? NatKeepsPort : NatKeepsMapping;
}
