// The link core's side of the serial line. Packets from the console are read
// straight into the next LocalRing slot and numbered; packets from the peer are
// written to the console straight from their RemoteRing slot, in sequence order,
// stepping over numbers that never arrived, when the pacing rule allows.
// Port thread; capture and delivery hold the link lock for their whole body,
// serial I/O and tracking included.
#include "core/console.h"

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/tracking.h"
#include "os/serial_device.h"
#include "os/system.h"

namespace {

constexpr uint32_t kMaxWaiting = 31; // LocalRing packets that may wait to be sent

// A console may announce transfer packets larger than a slot: never move more
// than a slot's payload.
uint32_t slotBytes(int32_t size) {
    if (size <= 0) return 0;
    return size > kMaxPayload ? uint32_t(kMaxPayload) : uint32_t(size);
}

void trackPacket(uint8_t* payload, int32_t size) {
    if (linkState.transferStage == 8) trackDataPacket(payload, size);
    else trackControlPacket(payload, size);
}

} // namespace

int32_t readPsxPacket(int32_t requested) {
    LinkLock lock;
    LocalRing& ring = linkState.local;
    const int i = slotIndex(ring.localCaptured);
    PacketSlot& slot = ring.slots[i];
    const uint32_t now = clockMs();

    const uint32_t room = slotBytes(requested);
    if (room == 0) return 0;
    uint32_t got = 0;
    if (!serialRead(linkState.serialPort, slot.payload, room, &got)) {
        logPrintf("WARN: ReadFile() failed (error #%i)\r\n", int(queryCommErrors()));
        return 0;
    }
    if (got == 0) return 0;

    int32_t size = int32_t(got);
    if (linkState.transferActive && size != requested) {
        logPrintf("WARN: Bad psx packet size %i, expecting %i\r\n", int(size), int(requested));
        // Filed at the size asked for (as much of it as a slot holds); the bytes
        // not read keep what the slot held before.
        size = int32_t(room);
        ++linkState.errorCount;
    }

    linkState.lastReadTime = now;
    linkState.psxSendFlag = true;

    ring.localSize[i] = size;
    slot.type = DataPacket;
    slot.sequence = ring.localCaptured;
    ++ring.localCaptured;

    if (ring.localStored >= kMaxWaiting) {
        // Drops every waiting packet, this one included; localCaptured - localSent
        // is then a multiple of 32, so the next packet read is the next one sent.
        logPrintf("WARN: PlayStation packet overflow, old packets cleared\r\n");
        ++linkState.errorCount;
        ring.localStored = 0;
    } else {
        ++ring.localStored;
    }

    trackPacket(slot.payload, size);
    return size;
}

int32_t deliverRemotePacket() {
    LinkLock lock;
    RemoteRing& ring = linkState.remote;
    if (ring.remoteStored == 0) return 0;

    // The first occupied slot from remoteDelivered on; the walk never goes
    // round more than once.
    int i = slotIndex(ring.remoteDelivered);
    uint32_t skipped = 0;
    while (ring.slots[i].type == 0) {
        if (++skipped == uint32_t(kRingSlots)) return 0;
        i = (i + 1) & (kRingSlots - 1);
    }

    PacketSlot& slot = ring.slots[i];
    const uint32_t count = slotBytes(ring.remoteSize[i]);
    const uint32_t now = clockMs();
    if (!mayWriteNow(now)) return 0;

    uint32_t written = 0;
    if (!serialWrite(linkState.serialPort, slot.payload, count, &written)) {
        logPrintf("WARN: WriteFile() failed (error #%i)\r\n", int(queryCommErrors()));
        return 0;
    }
    if (written < count) {
        logPrintf("WARN: WriteFile() error, %i of %i bytes written\r\n", int(written), int(count));
        return 0;
    }

    linkState.lastWriteTime = now;
    linkState.psxSendFlag = false;
    slot.type = 0;
    ring.remoteDelivered += skipped + 1;
    --ring.remoteStored;

    trackPacket(slot.payload, int32_t(count));
    return 1;
}

int32_t mayWriteNow(uint32_t now) {
    LinkLock lock;
    const LinkState& s = linkState;
    const uint32_t elapsed = now - s.lastWriteTime;
    const bool readSinceWrite = s.lastWriteTime < s.lastReadTime;
    if (!s.transferActive) {
        return (s.psxSendFlag || readSinceWrite || elapsed >= uint32_t(s.framePeriodMs)) ? 1 : 0;
    }
    if (uint32_t(s.expectedSize) > 8) return s.psxSendFlag ? 1 : 0;
    if (!s.psxSendFlag) return 0;
    const uint32_t gap = uint32_t(s.framePeriodMs) + uint32_t(s.vsyncAdjustMs.load());
    return (readSinceWrite || elapsed >= gap) ? 1 : 0;
}

uint32_t msUntilWriteAllowed(uint32_t now) {
    LinkLock lock;
    const LinkState& s = linkState;
    if (s.remote.remoteStored == 0) return kNoTimeout;
    if (mayWriteNow(now)) return 0;
    // Refused: only the time since the last write can change that by itself.
    uint32_t gap;
    if (!s.transferActive) {
        gap = uint32_t(s.framePeriodMs);
    } else if (uint32_t(s.expectedSize) > 8 || !s.psxSendFlag) {
        return kNoTimeout;
    } else {
        gap = uint32_t(s.framePeriodMs) + uint32_t(s.vsyncAdjustMs.load());
    }
    return gap - (now - s.lastWriteTime); // elapsed < gap, or the write was allowed
}

uint32_t queryCommErrors() {
    uint32_t errors = 0;
    uint32_t waiting = 0;
    serialClearErrors(linkState.serialPort, &errors, &waiting);
    return errors;
}
