// STUN answers as any server, or anyone pretending to be one, may send them:
// the parser reads nothing outside the datagram and what it reports holds.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/stun.h"

namespace {

// The transaction id of RFC 5769's samples, which the corpus starts from.
const uint8_t kId[kStunIdSize] = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
                                  0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1500) return 0; // no datagram on the way is longer
    // A copy of exactly the datagram's size, so a read past it is caught.
    uint8_t* datagram = new uint8_t[size == 0 ? 1 : size];
    if (size != 0) std::memcpy(datagram, data, size);
    const StunAnswer a = stunParseAnswer(datagram, int(size), kId);

    const bool ours = size >= kStunHeaderSize && std::memcmp(datagram + 8, kId, kStunIdSize) == 0 &&
                      datagram[4] == 0x21 && datagram[5] == 0x12 && datagram[6] == 0xa4 &&
                      datagram[7] == 0x42;
    if (!ours && a.outcome != StunIgnored) broken("an answer to another transaction was taken");
    if (a.outcome == StunMapped && a.mapped.family != 4 && a.mapped.family != 6) {
        broken("a mapped address without a family");
    }
    if (a.outcome == StunRefused && (a.errorCode < 300 || a.errorCode > 699)) {
        broken("an error code outside 300..699");
    }
    if (a.outcome != StunMapped && a.mapped.family != 0) broken("an address without an answer");
    char text[64];
    formatStunEndpoint(a.mapped, true, text, sizeof text);
    formatStunEndpoint(a.other, true, text, 8); // cut short, never overrun
    if (std::strlen(text) > 7) broken("text longer than its buffer");
    delete[] datagram;
    return 0;
}
