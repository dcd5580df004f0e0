// The link core's side of the serial line. Packets from the console are read
// straight into the next LocalRing slot and numbered; packets from the peer are
// written to the console straight from their RemoteRing slot, in sequence order,
// stepping over numbers that never arrived, when the pacing rule allows.
// Port thread. The serial I/O goes to the port the thread was started with and
// runs without the link lock: a device that hangs in a call never holds up the
// window thread. Capture and delivery take the lock around the ring alone.
#include "core/console.h"

#include <cstring>

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

// The port thread's own port, and an event mask chosen under the link lock
// that it sets once the lock is released.
thread_local SerialPort* threadPort = nullptr;
// Resets of RemoteRing so far, under the link lock: a delivery whose write
// went out across one leaves the ring as the reset made it.
uint32_t remoteResets = 0;
thread_local bool maskWanted = false;
thread_local uint32_t wantedMask = 0;

} // namespace

void noteRemoteReset() { ++remoteResets; }

void bindPortToThread(SerialPort* port) {
    threadPort = port;
    maskWanted = false;
}

SerialPort* portOfThread() { return threadPort != nullptr ? threadPort : linkState.serialPort; }

void setLineMask(uint32_t mask) {
    if (threadPort == nullptr) {
        serialSetMask(linkState.serialPort, mask);
        return;
    }
    wantedMask = mask;
    maskWanted = true;
}

void applyLineMask() {
    if (!maskWanted || threadPort == nullptr) return;
    maskWanted = false;
    serialSetMask(threadPort, wantedMask);
}

int32_t readPsxPacket(int32_t requested) {
    SerialPort* port = portOfThread();
    const uint32_t room = slotBytes(requested);
    if (room == 0) return 0;
    const uint32_t now = clockMs();
    uint8_t bytes[kMaxPayload];
    uint32_t got = 0;
    if (!serialRead(port, bytes, room, &got)) {
        logPrintf("WARN: ReadFile() failed (error #%i)\r\n", int(queryCommErrors(port)));
        return 0;
    }
    // A port being closed gives nothing more to the link.
    if (got == 0 || serialClosing(port)) return 0;

    int32_t size = int32_t(got);
    {
        LinkLock lock;
        LocalRing& ring = linkState.local;
        const int i = slotIndex(ring.localCaptured);
        PacketSlot& slot = ring.slots[i];
        std::memcpy(slot.payload, bytes, got);
        if (linkState.transferActive && size != requested) {
            logPrintf("WARN: Bad psx packet size %i, expecting %i\r\n", int(size), int(requested));
            // Filed at the size asked for (as much of it as a slot holds); the
            // bytes not read keep what the slot held before.
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
            // Drops every waiting packet, this one included; localCaptured -
            // localSent is then a multiple of 32, so the next packet read is the
            // next one sent.
            logPrintf("WARN: PlayStation packet overflow, old packets cleared\r\n");
            ++linkState.errorCount;
            ring.localStored = 0;
        } else {
            ++ring.localStored;
        }

        trackPacket(slot.payload, size);
    }
    applyLineMask();
    return size;
}

int32_t deliverRemotePacket() {
    SerialPort* port = portOfThread();
    uint8_t bytes[kMaxPayload];
    uint32_t count, now, sequence, resetsBefore, skipped = 0;
    int i;
    {
        LinkLock lock;
        RemoteRing& ring = linkState.remote;
        if (ring.remoteStored == 0) return 0;

        // The first occupied slot from remoteDelivered on; the walk never goes
        // round more than once.
        i = slotIndex(ring.remoteDelivered);
        while (ring.slots[i].type == 0) {
            if (++skipped == uint32_t(kRingSlots)) return 0;
            i = (i + 1) & (kRingSlots - 1);
        }

        const PacketSlot& slot = ring.slots[i];
        count = slotBytes(ring.remoteSize[i]);
        now = clockMs();
        if (!mayWriteNow(now)) return 0;
        std::memcpy(bytes, slot.payload, count);
        sequence = slot.sequence;
        resetsBefore = remoteResets;
    }

    uint32_t sent = 0;
    if (!serialWrite(port, bytes, count, &sent)) {
        logPrintf("WARN: WriteFile() failed (error #%i)\r\n", int(queryCommErrors(port)));
        return 0;
    }
    if (sent < count) {
        logPrintf("WARN: WriteFile() error, %i of %i bytes written\r\n", int(sent), int(count));
        return 0;
    }
    if (serialClosing(port)) return 1; // the link has gone on without this port

    {
        LinkLock lock;
        linkState.psxSendFlag = false;
        // A reset while the write went out came after it: the ring stays as
        // the reset left it.
        if (remoteResets != resetsBefore) return 1;
        RemoteRing& ring = linkState.remote;
        PacketSlot& slot = ring.slots[i];
        linkState.lastWriteTime = now;
        // Slots cleared meanwhile (an overflow) no longer count the packet.
        // The slot keeps the packet written, for a repeat after an RTS drop.
        uint8_t* written = bytes;
        if (slot.type != 0 && slot.sequence == sequence) {
            slot.type = 0;
            --ring.remoteStored;
            written = slot.payload;
        }
        ring.remoteDelivered += skipped + 1;

        trackPacket(written, int32_t(count));
    }
    applyLineMask();
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

uint32_t queryCommErrors(SerialPort* port) {
    uint32_t errors = 0;
    uint32_t waiting = 0;
    serialClearErrors(port, &errors, &waiting);
    return errors;
}
