// Loss recovery between two Zavik sides: the agreement, the bundles that carry
// each console packet four times, their filing, and the echo that measures the
// path's round trip.
//
// The agreement. A side is "on" once it has heard the peer's offer and the peer
// has said it heard this side's (an offer with kOfferHeard, or any bundle). An
// offer that does not say kOfferOn asks for an answer, and gets one while
// Connected; an offer that says it asks for nothing, so two sides never answer
// each other without end. A side that has heard the peer's offer reads
// datagrams as long as a bundle, since the peer may already send them.
#include "core/recovery.h"

#include <cstring>

#include "core/link_lock.h"
#include "core/log.h"
#include "core/warnings.h"
#include "os/system.h"
#include "os/udp.h"

namespace {

// Offers sent beside plain data packets while the agreement is incomplete
// (a lost offer or answer); a peer without recovery gets no more than these.
constexpr uint32_t kMaxOffersWithData = 8;
// A packet with no successor is repeated after these gaps since the datagram
// before. The first is longer than a frame (16 or 20 ms), so while the console
// sends a packet every frame the copies ride on the next three packets'
// datagrams, three frames apart in all; the last packet of a transfer has its
// copies 25, 50 and 100 ms after it.
constexpr uint32_t kRepeatGapMs[kRecoveryCopies - 1] = {25, 25, 50};
constexpr uint32_t kLongestHoldMs = 0xFFFF;

LinkRecovery& rec() { return linkState.recovery; }

// Link lock held for these.
bool heardPeer() {
    const LinkRecovery& r = rec();
    return r.enabled && r.peerOffered && sameEndpoint(r.offerFrom, linkState.remoteAddress);
}

bool isOn() {
    return heardPeer() && rec().peerHeardMine && linkState.connectionState.load() == Connected;
}

uint32_t offerFlags() {
    if (!heardPeer()) return 0;
    return rec().peerHeardMine ? kOfferHeard | kOfferOn : kOfferHeard;
}

void sendOffer() {
    uint8_t datagram[kHeaderSize];
    writeLe32(datagram, RecoveryOffer);
    writeLe32(datagram + 4, offerFlags());
    netSendTo(linkState.udpSocket, datagram, kHeaderSize, linkState.remoteAddress);
}

void announce() {
    if (!isOn() || rec().announced) return;
    rec().announced = true;
    rec().wasOn = true;
    logPrintf("Loss recovery on\r\n");
}

// The owed copies (the fresh one first), with the echo of the peer's newest bundle.
int writeBundle(uint32_t now, bool fresh, uint8_t* out) {
    LinkRecovery& r = rec();
    uint8_t flags = fresh ? kBundleFresh : 0;
    writeLe32(out, DataBundle);
    writeLe32(out + 4, now);
    writeLe32(out + 8, r.echoValid ? r.echoStamp : 0);
    uint32_t hold = r.echoValid ? now - r.echoArrivedMs : 0;
    if (hold > kLongestHoldMs) hold = kLongestHoldMs;
    out[12] = uint8_t(hold);
    out[13] = uint8_t(hold >> 8);
    if (r.echoValid) flags |= kBundleEcho;
    int count = 0;
    int at = kBundleHeader;
    for (int k = 0; k < r.copyCount; ++k) {
        RecoveryCopy& c = r.copies[k];
        if (c.sendsLeft <= 0) continue;
        writeLe32(out + at, c.sequence);
        out[at + 4] = uint8_t(c.size);
        std::memcpy(out + at + kBundleEntryHeader, c.payload, size_t(c.size));
        at += kBundleEntryHeader + c.size;
        --c.sendsLeft;
        ++count;
    }
    out[14] = uint8_t(count);
    out[15] = flags;
    r.lastSendMs = now;
    return at;
}

bool copiesOwed() {
    for (int k = 0; k < rec().copyCount; ++k) {
        if (rec().copies[k].sendsLeft > 0) return true;
    }
    return false;
}

struct Entry {
    uint32_t sequence;
    int size;
    const uint8_t* payload;
};

// The entries of a bundle, newest first; -1 when it is not a whole bundle.
int parseBundle(const uint8_t* datagram, int length, Entry* entries) {
    if (length < kBundleHeader || readLe32(datagram) != DataBundle) return -1;
    const int count = datagram[14];
    if (count > kRecoveryCopies) return -1;
    int at = kBundleHeader;
    for (int k = 0; k < count; ++k) {
        if (length - at < kBundleEntryHeader) return -1;
        const int size = datagram[at + 4];
        if (size > kMaxPayload || length - at - kBundleEntryHeader < size) return -1;
        entries[k] = Entry{readLe32(datagram + at), size, datagram + at + kBundleEntryHeader};
        at += kBundleEntryHeader + size;
    }
    return count;
}

// One packet of a bundle into RemoteRing, as a DataPacket is filed, except that
// a later copy of a packet filed or passed already is dropped without a word.
// Returns 1 when it was filed.
int fileEntry(const Entry& e, bool fresh) {
    RemoteRing& ring = linkState.remote;
    if (e.sequence < ring.remoteDelivered) {
        if (fresh) {
            warnRepeated(WarnOldPacket, "WARN: old UDP packet received\r\n");
            ++linkState.errorCount;
        }
        return 0;
    }
    const int i = slotIndex(e.sequence);
    PacketSlot& slot = ring.slots[i];
    if (slot.type != 0 && slot.sequence == e.sequence) return 0;
    if (ring.remoteStored >= uint32_t(kRingSlots)) {
        warnRepeated(WarnOverflow, "WARN: UDP packet overflow, old packets cleared\r\n");
        clearRemoteSlots();
        ring.remoteStored = 0;
        ++linkState.errorCount;
    }
    if (slot.type != 0) {
        if (fresh) {
            warnRepeated(WarnDuplicate,
                         "WARN: UDP packet position already taken, duplicate packet\r\n");
            ++linkState.errorCount;
        }
        return 0;
    }
    slot.type = DataPacket;
    slot.sequence = e.sequence;
    std::memcpy(slot.payload, e.payload, size_t(e.size));
    ring.remoteSize[i] = e.size;
    ++ring.remoteReceived;
    ++ring.remoteStored;
    if (!fresh) ++rec().recovered;
    return 1;
}

} // namespace

bool recoveryOn() {
    LinkLock lock;
    return isOn();
}

bool recoveryReadsBundles(ConnectionState state) {
    LinkLock lock;
    const LinkRecovery& r = rec();
    if (!r.enabled || !r.peerOffered || !sameHost(r.offerFrom, linkState.remoteAddress)) {
        return false;
    }
    if (state == Connecting) return true; // a router may show the peer from another port
    return state == Connected && r.offerFrom.port == linkState.remoteAddress.port;
}

void recoveryForget() {
    LinkLock lock;
    const bool enabled = rec().enabled;
    rec() = LinkRecovery{};
    rec().enabled = enabled;
}

void sendRecoveryOffer() {
    LinkLock lock;
    if (rec().enabled) sendOffer();
}

void onRecoveryOffer(ConnectionState state, const SocketAddress& from, uint32_t flags) {
    LinkLock lock;
    LinkRecovery& r = rec();
    if (!r.enabled || state == Idle) return;
    if (!r.peerOffered || !sameEndpoint(r.offerFrom, from)) {
        r.peerOffered = true;
        r.peerHeardMine = false;
        r.offerFrom = from;
    }
    if (flags & kOfferHeard) r.peerHeardMine = true;
    if (state != Connected || !sameEndpoint(from, linkState.remoteAddress)) return;
    if (!(flags & kOfferOn)) sendOffer();
    announce();
}

void recoveryConnected() {
    LinkLock lock;
    // The peer learns that its offer was heard, if it was.
    if (heardPeer()) sendOffer();
    announce();
}

void recoveryLinkEnded() {
    LinkLock lock;
    const uint32_t recovered = rec().recovered;
    if (rec().wasOn) {
        logPrintf("Loss recovery: %i packets recovered from later copies\r\n", int(recovered));
    }
    recoveryForget();
    rec().recovered = recovered; // still shown until the next link starts
}

uint32_t recoveredPackets() {
    LinkLock lock;
    return rec().recovered;
}

int buildBundle(int slot, uint32_t now, uint8_t* out) {
    LinkRecovery& r = rec();
    const PacketSlot& s = linkState.local.slots[slot];
    int size = linkState.local.localSize[slot];
    if (size > kMaxPayload) size = kMaxPayload;
    if (size < 0) size = 0;
    // A send that failed is tried again with the same packet: it is not a new copy.
    if (r.copyCount == 0 || r.copies[0].sequence != s.sequence) {
        for (int k = kRecoveryCopies - 1; k > 0; --k) r.copies[k] = r.copies[k - 1];
        if (r.copyCount < kRecoveryCopies) ++r.copyCount;
    }
    RecoveryCopy& c = r.copies[0];
    c.sequence = s.sequence;
    c.size = size;
    c.sendsLeft = kRecoveryCopies;
    std::memcpy(c.payload, s.payload, size_t(size));
    r.repeats = 0;
    return writeBundle(now, true, out);
}

void offerWithData() {
    LinkRecovery& r = rec();
    if (!r.enabled || isOn() || r.offersWithData >= kMaxOffersWithData) return;
    ++r.offersWithData;
    sendOffer();
}

int fileBundle(const uint8_t* datagram, int length, uint32_t now) {
    Entry entries[kRecoveryCopies];
    const int count = parseBundle(datagram, length, entries);
    if (count < 0) return -1;
    LinkLock lock;
    LinkRecovery& r = rec();
    // Only a side that heard this side's offer sends bundles.
    r.peerOffered = true;
    r.peerHeardMine = true;
    r.offerFrom = linkState.remoteAddress;

    const uint8_t flags = datagram[15];
    if (flags & kBundleEcho) {
        const uint32_t roundTrip = now - readLe32(datagram + 8);
        const uint32_t hold = uint32_t(datagram[12]) | uint32_t(datagram[13]) << 8;
        if (roundTrip >= hold && roundTrip - hold < kLongestHoldMs) {
            linkState.pingTotalMs += roundTrip - hold;
            ++linkState.pingSamples;
        }
    }
    r.echoValid = true;
    r.echoStamp = readLe32(datagram + 4);
    r.echoArrivedMs = now;

    int filed = 0;
    for (int k = count - 1; k >= 0; --k) {
        filed += fileEntry(entries[k], k == 0 && (flags & kBundleFresh) != 0);
    }
    announce();
    if (filed > 0) wakeEventSet(linkState.packetEvent);
    return count;
}

bool bundleHolds(const uint8_t* datagram, int length, uint32_t sequence) {
    Entry entries[kRecoveryCopies];
    const int count = parseBundle(datagram, length, entries);
    for (int k = 0; k < count; ++k) {
        if (entries[k].sequence == sequence) return true;
    }
    return false;
}

namespace {

uint32_t copiesDueIn(uint32_t now) {
    if (!isOn() || !copiesOwed()) return kNoTimeout;
    const int repeat = rec().repeats < kRecoveryCopies - 2 ? rec().repeats : kRecoveryCopies - 2;
    const uint32_t gap = kRepeatGapMs[repeat];
    const uint32_t since = now - rec().lastSendMs;
    return since >= gap ? 0 : gap - since;
}

} // namespace

uint32_t msUntilCopiesDue(uint32_t now) {
    LinkLock lock;
    return copiesDueIn(now);
}

void sendDueCopies(uint32_t now) {
    LinkLock lock;
    if (copiesDueIn(now) != 0) return;
    uint8_t bundle[kMaxDatagram];
    const int length = writeBundle(now, false, bundle);
    ++rec().repeats;
    netSendTo(linkState.udpSocket, bundle, length, linkState.remoteAddress);
}

int extraNoticeCopies(int wanted) {
    LinkLock lock;
    return isOn() ? wanted : 0;
}
