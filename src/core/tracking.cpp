// Following the console's transfer handshake. Every packet read from the
// console and every packet written to it passes through here, so both
// directions count towards the same handshake and the same end of transfer.
//
// Outside a transfer the consoles exchange 8-byte control packets
// (0xFD, kind, -, size-2, flag, period, -, checksum) and one-byte packets; an
// S-packet opens a handshake of eight steps, after which transfer packets of the
// announced size flow until the second end-marked one.
//
// The callers (capture and delivery) hold the link lock.
#include "core/tracking.h"

#include "core/link_state.h"
#include "core/console.h"
#include "core/log.h"
#include "os/serial_device.h"

namespace {

constexpr uint8_t kControlMark = 0xFD;
constexpr uint8_t kAPacket = 0x41;
constexpr uint8_t kCPacket = 0x43;
constexpr uint8_t kSPacket = 0x53;
constexpr int32_t kTransferRunning = 8;
constexpr uint8_t kEndMarker = 2;

// 8-bit sum of the first count bytes.
uint8_t sum8(const uint8_t* bytes, int32_t count) {
    uint8_t sum = 0;
    for (int32_t i = 0; i < count; ++i) sum = uint8_t(sum + bytes[i]);
    return sum;
}

void onControlPacket(uint8_t* bytes) {
    if (sum8(bytes, 7) != bytes[7]) {
        ++linkState.errorCount;
        return;
    }
    if (bytes[0] != kControlMark) return;
    switch (bytes[1]) {
    case kAPacket:
        if (linkState.transferStage == 0) break;
        if (bytes[4] == 1) ++linkState.transferStage;
        else linkState.transferStage = 0;
        break;
    case kCPacket:
        linkState.psxActive = true;
        if (bytes[4] == 0) {
            // Mark the packet as having passed a link, keeping its checksum whole.
            bytes[4] = 1;
            bytes[7] = uint8_t(bytes[7] + 1);
            linkState.framePeriodMs = bytes[5] == 1 ? 20 : 16;
        }
        break;
    case kSPacket:
        linkState.psxActive = true;
        linkState.expectedSize = int32_t(bytes[3]) + 2;
        ++linkState.transferStage;
        break;
    default:
        break;
    }
}

} // namespace

void trackControlPacket(uint8_t* bytes, int32_t size) {
    if (size == 8) {
        onControlPacket(bytes);
    } else if (size == 1) {
        if (linkState.transferStage != 0 && bytes[0] == 1) ++linkState.transferStage;
    }
    if (linkState.transferStage == kTransferRunning) {
        logPrintf("**Transfer has started **\r\n");
        setLineMask(EvCts | EvDsr);
        linkState.transferActive = true;
    }
}

void trackDataPacket(const uint8_t* bytes, int32_t size) {
    // A packet too short to hold flags and a checksum can only come from a peer.
    if (size < 2) return;
    if (sum8(bytes, size - 1) != bytes[size - 1]) return;
    if ((bytes[size - 2] & 0x0F) != kEndMarker) return;
    if (++linkState.endMarkerCount != 2) return;

    linkState.lastReadTime = 0;
    linkState.expectedSize = 0;
    linkState.endMarkerCount = 0;
    linkState.transferStage = 0;
    clearStatistics();
    logPrintf("Transfer has finished.\r\n");
    setLineMask(EvRxChar | EvCts);
    linkState.transferActive = false;
}
