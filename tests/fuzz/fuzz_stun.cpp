// STUN answers as any server, or anyone pretending to be one, may send them:
// the parser reads nothing outside the datagram and what it reports holds.
#include <cstdlib>
#include <cstring>

#include "net/stun.h"

namespace {

// The transaction id of RFC 5769's samples, which the corpus starts from.
const uint8_t kId[kStunIdSize] = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
                                  0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};
const uint8_t kCookie[4] = {0x21, 0x12, 0xa4, 0x42};

void holds(bool invariant) {
    if (!invariant) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1500) return 0; // no datagram on the way is longer
    // A copy of exactly the datagram's size, so a read past it is caught.
    uint8_t* datagram = new uint8_t[size == 0 ? 1 : size];
    if (size != 0) std::memcpy(datagram, data, size);
    const StunAnswer a = stunParseAnswer(datagram, int(size), kId);
    const bool ours = size >= kStunHeaderSize && std::memcmp(datagram + 4, kCookie, 4) == 0 &&
                      std::memcmp(datagram + 8, kId, kStunIdSize) == 0;
    holds(ours || a.outcome == StunIgnored);
    holds(a.outcome == StunMapped ? a.mapped.family == 4 || a.mapped.family == 6
                                  : a.mapped.family == 0);
    holds(a.outcome != StunRefused || (a.errorCode >= 300 && a.errorCode <= 699));
    char full[48], text[8];
    formatStunEndpoint(a.mapped, true, full, sizeof full);
    formatStunEndpoint(a.other, true, text, sizeof text); // cut short, never overrun
    holds(std::strlen(text) < sizeof text);
    delete[] datagram;
    return 0;
}
