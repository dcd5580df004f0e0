// Data packets over UDP: captured packets go to the peer straight from their
// LocalRing slots, the peer's are filed in RemoteRing under their sequence
// numbers, and the two are paired for the ping.
#include "core/exchange.h"

#include <cstring>

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/recovery.h"
#include "core/warnings.h"
#include "os/system.h"
#include "os/udp.h"

int sendStoredPackets() {
    LinkLock lock;
    LocalRing& ring = linkState.local;
    const bool bundles = ring.localStored > 0 && recoveryOn();
    uint8_t bundle[kMaxDatagram];
    while (ring.localStored > 0) {
        const int i = slotIndex(ring.localSent);
        const int size = ring.localSize[i];
        if (linkState.transferActive && size != linkState.expectedSize) {
            logPrintf("WARN: Bad PlayStation packet size %i, expecting %i\r\n", size,
                      linkState.expectedSize);
            ++linkState.errorCount;
        }
        const uint32_t now = clockMs();
        ring.localSendTime[i] = now;

        // A slot never holds more than its payload; the datagram is the slot's
        // image, or with recovery on a bundle of it and the copies still owed.
        int length = size + kHeaderSize;
        if (length > kSlotSize) length = kSlotSize;
        if (length < kHeaderSize) length = kHeaderSize;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ring.slots[i]);
        if (bundles) {
            length = buildBundle(i, now, bundle);
            bytes = bundle;
        }
        const int sent = netSendTo(linkState.udpSocket, bytes, length, linkState.remoteAddress);
        if (sent < 0) {
            logPrintf("WARN: sendto() failed (error #%i)\r\n", netLastError());
            return 0;
        }
        if (sent != length) {
            logPrintf("WARN: sendto() error, %i of %i bytes sent\r\n", sent, length);
            return 0;
        }
        ++ring.localSent;
        --ring.localStored;
        if (!bundles) offerWithData();
    }
    return 1;
}

void storeRemotePacket(const uint8_t* datagram, int length) {
    LinkLock lock;
    if (length < kHeaderSize) return; // the reader hands over whole headers only
    RemoteRing& ring = linkState.remote;
    const uint32_t sequence = readLe32(datagram + 4);
    if (sequence < ring.remoteDelivered) {
        warnRepeated(WarnOldPacket, "WARN: old UDP packet received\r\n");
        ++linkState.errorCount;
        return;
    }
    const int i = slotIndex(sequence);
    if (ring.remoteStored >= uint32_t(kRingSlots)) {
        warnRepeated(WarnOverflow, "WARN: UDP packet overflow, old packets cleared\r\n");
        clearRemoteSlots();
        ring.remoteStored = 0;
        ++linkState.errorCount;
    }
    PacketSlot& slot = ring.slots[i];
    if (slot.type != 0) {
        warnRepeated(WarnDuplicate,
                     "WARN: UDP packet position already taken, duplicate packet\r\n");
        ++linkState.errorCount;
        return;
    }

    const int copied = length > kSlotSize ? kSlotSize : length;
    std::memcpy(&slot, datagram, size_t(copied));
    ring.remoteSize[i] = copied - kHeaderSize;
    ++ring.remoteReceived;
    ++ring.remoteStored;

    // With recovery on the ping comes from the bundles' echoes instead.
    uint32_t& sendTime = linkState.local.localSendTime[i];
    if (sendTime != 0 && !recoveryOn()) {
        linkState.pingTotalMs += clockMs() - sendTime;
        ++linkState.pingSamples;
        sendTime = 0;
    }
    wakeEventSet(linkState.packetEvent);
}
