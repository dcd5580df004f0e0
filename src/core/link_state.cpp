#include "core/link_state.h"

#include <cstring>

#include "core/console.h"
#include "core/link_lock.h"
#include "os/serial_device.h"

LinkState linkState;

void copyText(char* dest, size_t size, const char* text) {
    size_t n = 0;
    while (n + 1 < size && text[n] != '\0') {
        dest[n] = text[n];
        ++n;
    }
    dest[n] = '\0';
}

void initLinkState() {
    LinkLock lock;
    std::memset(&linkState.local, 0, sizeof linkState.local);
    std::memset(&linkState.remote, 0, sizeof linkState.remote);
    std::memset(linkState.localIp, 0, sizeof linkState.localIp);
    linkState.localPort = 3975;
    std::memset(linkState.remoteIp, 0, sizeof linkState.remoteIp);
    linkState.remotePort = 3975;
    copyText(linkState.serialPortName, sizeof linkState.serialPortName, "COM1");
    linkState.baudRate = 115200;
    linkState.portWaitMs = 1;
    linkState.vsyncAdjustMs = 0;
    linkState.vsyncAdjustIndex = 2;
    linkState.highPriority = false;
    std::memset(linkState.localAddresses, 0, sizeof linkState.localAddresses);
    linkState.localAddressCount = 0;

    linkState.connectionState = Idle;
    linkState.remoteAddress = SocketAddress{};
    linkState.serialPort = nullptr;
    linkState.savedTimeouts = CommTimeouts{};
    linkState.udpSocket = 0;
    linkState.packetEvent = nullptr;
    linkState.portThread = nullptr;
    linkState.stopPortThread = false;

    linkState.psxSendFlag = true;
    linkState.lastReadTime = 0;
    linkState.lastWriteTime = 0;
    linkState.framePeriodMs = 20;
    linkState.expectedSize = 0;
    linkState.transferStage = 0;
    linkState.transferActive = false;
    linkState.endMarkerCount = 0;
    linkState.psxActive = false;

    linkState.recovery = LinkRecovery{};
    linkState.recovery.enabled = true;

    linkState.pingTotalMs = 0;
    linkState.pingSamples = 0;
    linkState.errorCount = 0;
    linkState.stats = StatsDisplay{};
}

void resetLocalSide() {
    LinkLock lock;
    LocalRing& r = linkState.local;
    for (uint32_t& t : r.localSendTime) t = 0;
    linkState.lastReadTime = 0;
    linkState.lastWriteTime = 0;
    linkState.transferStage = 0;
    linkState.expectedSize = 0;
    linkState.endMarkerCount = 0;
    r.localCaptured = 0;
    r.localSent = 0;
    r.localStored = 0;
    // Packets from before the reset are not repeated into the numbers after it.
    linkState.recovery.copyCount = 0;
    if (linkState.transferActive) {
        setLineMask(EvRxChar | EvCts);
        linkState.transferActive = false;
    }
}

void clearRemoteSlots() {
    LinkLock lock;
    for (PacketSlot& s : linkState.remote.slots) s.type = 0;
}

void resetRemoteSide() {
    LinkLock lock;
    clearRemoteSlots();
    noteRemoteReset();
    linkState.remote.remoteDelivered = 0;
    linkState.remote.remoteReceived = 0;
    linkState.remote.remoteStored = 0;
}

void clearStatistics() {
    LinkLock lock;
    StatsDisplay& d = linkState.stats;
    d.shownExpectedSize = 0;
    linkState.pingTotalMs = 0;
    linkState.pingSamples = 0;
    d.shownPing = 0;
    d.shownTransferStage = 0;
    linkState.errorCount = 0;
    d.shownErrorCount = 0;
}
