// The connection protocol: control datagrams, the four connection states, the
// panel's buttons in each, and the reading of datagrams from the socket. Runs on
// the window thread; the port thread only reads connectionState and, under the
// link lock, remoteAddress.
//
// Every datagram is read with its sender, and one that does not come from the
// peer (fromPeer) is dropped before it can change anything, with a warning at
// most every five seconds. A connection completed by the peer's answer takes
// the port the answer came from: behind a router that changes ports, that is
// where the peer can be reached, and the only port its datagrams come from.
#include "core/protocol.h"

#include <cstring>

#include "core/button_ids.h"
#include "core/exchange.h"
#include "core/link_lock.h"
#include "core/log.h"
#include "core/recovery.h"
#include "core/warnings.h"
#include "os/system.h"
#include "os/udp.h"

namespace {

constexpr uint32_t kLeaveSleepMs = 500;
// With recovery on, a disconnect's notice is sent again within its pause, and
// a side that closes sends its one notice three times.
constexpr int kNoticeRepeats = 4;
constexpr uint32_t kNoticeGapMs = kLeaveSleepMs / (kNoticeRepeats + 1);
constexpr int kClosingNoticeRepeats = 2;
constexpr int kIdleReadLength = kHeaderSize;
constexpr int kConnectedReadLength = 74;

// remoteAddress from the remoteIp and remotePort the user or the last sender left.
void setRemoteAddress() {
    SocketAddress address{};
    netMakeAddress(linkState.remoteIp, linkState.remotePort, &address);
    LinkLock lock; // the port thread sends to it
    linkState.remoteAddress = address;
}

// Both role buttons back to their first captions and ids, all three enabled.
void restoreButtons() {
    buttonSetCaption(ConnectButton, "Connect...");
    buttonSetId(ConnectButton, IDC_CONNECT);
    buttonSetCaption(ListenButton, "Listen");
    buttonSetId(ListenButton, IDC_LISTEN);
    buttonEnable(SettingsButton, true);
    buttonEnable(ConnectButton, true);
    buttonEnable(ListenButton, true);
}

void onRemoteDisconnect() {
    logPrintf("Disconnect packet received...");
    restoreButtons();
    linkState.connectionState = Idle;
    sleepMs(kLeaveSleepMs);
    logPrintf("disconnected\r\n");
    resetRemoteSide();
    resetLocalSide();
    recoveryLinkEnded();
}

// The notice of a side that leaves, before a disconnect or the program's close.
void sendLeavingNotice() {
    sendControl(DisconnectNotice);
    for (int k = extraNoticeCopies(kClosingNoticeRepeats); k > 0; --k) {
        sendControl(DisconnectNotice);
    }
}

// A local disconnect, once it is confirmed: the notice, the pause, the resets.
void leaveConnection() {
    logPrintf("Sending disconnect packet...");
    sendControl(DisconnectNotice);
    const int repeats = extraNoticeCopies(kNoticeRepeats);
    for (int k = 0; k < repeats; ++k) {
        sleepMs(kNoticeGapMs);
        sendControl(DisconnectNotice);
    }
    sleepMs(kLeaveSleepMs - uint32_t(repeats) * kNoticeGapMs);
    logPrintf("disconnected\r\n");
    resetRemoteSide();
    resetLocalSide();
    clearStatistics();
    recoveryLinkEnded();
}

void connectedAsListener(const char* message) {
    buttonSetCaption(ListenButton, "Disconnect");
    buttonFocus(ListenButton);
    linkState.connectionState = Connected;
    logPrintf("%s", message);
    recoveryConnected();
}

// Connecting, and the peer's data shows it is Connected already.
void connectedByData() {
    setRemoteAddress();
    retryTimerKill();
    buttonSetCaption(ConnectButton, "Disconnect");
    linkState.connectionState = Connected;
}

uint32_t nextDueSequence() {
    LinkLock lock;
    return linkState.remote.remoteDelivered;
}

// How many bytes a read asks for while Connected: a transfer packet with its
// header during a transfer, else the largest packet outside one. Never more than
// a slot holds.
int connectedReadLength() {
    int length = kConnectedReadLength;
    {
        LinkLock lock;
        if (linkState.transferStage == 8) length = linkState.expectedSize + kHeaderSize;
    }
    if (length > kSlotSize) length = kSlotSize;
    if (length < 0) length = 0;
    return length;
}

// Only the peer drives a link. Connected: the peer's address and port.
// Connecting: the address being connected to, from any port (a router may give
// the peer another port, and a peer that connects to us at the same time sends
// its own requests). Listening: a ConnectAccept only from the address that an
// earlier attempt left, never when none was left; anything else from anyone.
bool fromPeer(ConnectionState state, const SocketAddress& from, const uint8_t* datagram,
              int length) {
    const SocketAddress& peer = linkState.remoteAddress;
    switch (state) {
    case Connected:
        return sameEndpoint(from, peer);
    case Connecting:
        return sameHost(from, peer);
    case Listening:
        if (length < kHeaderSize || readLe32(datagram) != ConnectAccept) return true;
        return hasHost(peer) && sameHost(from, peer);
    case Idle:
        break;
    }
    return true;
}

// The datagrams only two Zavik sides send each other. Returns false for any
// other, and for every datagram when this side does not offer recovery: such a
// side ignores them as unknown types.
bool onRecoveryDatagram(ConnectionState state, const SocketAddress& from,
                        const uint8_t* datagram, int length) {
    if (!linkState.recovery.enabled) return false;
    const uint32_t type = readLe32(datagram);
    if (type == RecoveryOffer) {
        onRecoveryOffer(state, from, readLe32(datagram + 4));
        return true;
    }
    if (type != DataBundle) return false;
    switch (state) {
    case Connected:
        fileBundle(datagram, length, clockMs());
        break;
    case Connecting:
        if (bundleHolds(datagram, length, nextDueSequence())) {
            connectedByData();
            logPrintf("connected!!\r\n"); // before the bundle says recovery is on
            fileBundle(datagram, length, clockMs());
            recoveryConnected();
        }
        break;
    case Idle:
    case Listening:
        sendControl(DisconnectNotice); // as for a DataPacket: the peer is told
        break;
    }
    return true;
}

} // namespace

int sendControl(DatagramType type) {
    uint8_t datagram[kHeaderSize];
    writeLe32(datagram, type);
    writeLe32(datagram + 4, 0);
    // remoteAddress and the socket change only on this thread: no lock to read them.
    if (netSendTo(linkState.udpSocket, datagram, kHeaderSize, linkState.remoteAddress) ==
        kHeaderSize) {
        return 1;
    }
    logPrintf("sendto() failed (error #%i).\r\n", netLastError());
    return 0;
}

int acceptPeer() {
    setRemoteAddress();
    if (!sendControl(ConnectAccept)) return 0;
    sendRecoveryOffer();
    return 1;
}

int beginConnect() {
    setRemoteAddress();
    recoveryForget();
    // An IPv6 address in brackets, so its colons and the port's stay apart.
    const bool ipv6 = std::strchr(linkState.remoteIp, ':') != nullptr;
    logPrintf(ipv6 ? "Attempting to connect to [%s]:%i .." : "Attempting to connect to %s:%i ..",
              linkState.remoteIp, int(linkState.remotePort));
    if (!sendControl(ConnectRequest)) return 0;
    sendRecoveryOffer();
    retryTimerStart();
    return 1;
}

void enterConnecting() {
    linkState.connectionState = Connecting;
    buttonEnable(SettingsButton, false);
    buttonEnable(ListenButton, false);
    buttonSetCaption(ConnectButton, "Cancel");
    buttonSetId(ConnectButton, IDC_CONNECT_CANCEL);
}

void beginListen() {
    clearStatistics();
    recoveryForget();
    linkState.connectionState = Listening;
    buttonEnable(SettingsButton, false);
    buttonEnable(ConnectButton, false);
    buttonSetCaption(ListenButton, "Cancel");
    buttonSetId(ListenButton, IDC_LISTEN_CANCEL);
    logPrintf("Listening for connection ...");
}

void endConnection(PanelButton button) {
    const bool connectSide = button == ConnectButton;
    const ConnectionState waiting = connectSide ? Connecting : Listening;
    if (linkState.connectionState == waiting) {
        if (connectSide) retryTimerKill();
        logPrintf("cancelled\r\n");
    } else {
        if (!confirmLeave("Disconnect")) return;
        leaveConnection();
    }
    if (connectSide) {
        buttonSetCaption(ConnectButton, "Connect...");
        buttonSetId(ConnectButton, IDC_CONNECT);
        buttonEnable(SettingsButton, true);
        buttonEnable(ListenButton, true);
    } else {
        buttonSetCaption(ListenButton, "Listen");
        buttonSetId(ListenButton, IDC_LISTEN);
        buttonEnable(SettingsButton, true);
        buttonEnable(ConnectButton, true);
    }
    linkState.connectionState = Idle;
}

int confirmLeave(const char* caption) {
    bool transferRunning;
    {
        LinkLock lock;
        transferRunning = linkState.transferStage == 8;
    }
    // The box is modal: the lock is not held while the user decides.
    if (transferRunning && !askYesNo("Packet transfer in progress, are you sure?", caption)) {
        return 0;
    }
    if (linkState.connectionState == Connected) sendLeavingNotice();
    return 1;
}

void endConnectionForLostPort() {
    switch (linkState.connectionState.load()) {
    case Connecting:
        retryTimerKill();
        logPrintf("cancelled\r\n");
        break;
    case Listening:
        logPrintf("cancelled\r\n");
        break;
    case Connected:
        sendLeavingNotice(); // the two notices of a local disconnect
        leaveConnection();
        break;
    case Idle:
        break;
    }
    restoreButtons();
    buttonEnable(ConnectButton, false);
    buttonEnable(ListenButton, false);
    linkState.connectionState = Idle;
}

void readDatagram() {
    uint8_t buffer[kMaxDatagram];
    const ConnectionState state = linkState.connectionState.load();
    int length = state == Connected ? connectedReadLength() : kIdleReadLength;
    if (recoveryReadsBundles(state)) length = kMaxDatagram;
    SocketAddress from{};
    const int result = netRecvFrom(linkState.udpSocket, buffer, length, &from);
    if (result < 0) {
        if (state == Connected) {
            warnRepeated(WarnRecvFailed, "WARN: recv() failed (error #%i)\r\n", netLastError());
        } else {
            warnRepeated(WarnRecvFromFailed, "WARN: recvfrom() failed (error #%i)\r\n",
                         netLastError());
        }
    } else if (!fromPeer(state, from, buffer, result)) {
        noteIgnoredDatagram(from);
        return;
    } else if (state != Connected) {
        // The sender, before anything else happens.
        char text[kAddressTextSize];
        netAddressText(from, text);
        copyText(linkState.remoteIp, sizeof linkState.remoteIp, text);
        linkState.remotePort = netFromNetworkPort(from.port);
    }
    if (result < kHeaderSize) {
        warnRepeated(WarnBadSize, "WARN: bad UDP packet size (%i), expected %i\r\n", result, length);
        return;
    }
    if (onRecoveryDatagram(state, from, buffer, result)) return;
    onDatagram(buffer, result);
}

void onDatagram(const uint8_t* datagram, int length) {
    const uint32_t type = readLe32(datagram);
    switch (linkState.connectionState.load()) {
    case Idle:
        if (type == ConnectAccept || type == DataPacket) sendControl(DisconnectNotice);
        break;
    case Connecting:
        if (type == ConnectRequest) {
            acceptPeer();
        } else if (type == ConnectAccept) {
            setRemoteAddress(); // the answer's port, where the peer can be reached
            retryTimerKill();
            buttonSetCaption(ConnectButton, "Disconnect");
            linkState.connectionState = Connected;
            logPrintf("connected!\r\n");
            recoveryConnected();
            sendStoredPackets();
        } else if (type == DataPacket && readLe32(datagram + 4) == nextDueSequence()) {
            connectedByData();
            storeRemotePacket(datagram, length);
            logPrintf("connected!!\r\n");
            recoveryConnected();
        }
        break;
    case Listening:
        if (type == ConnectRequest) {
            if (acceptPeer()) connectedAsListener("connected!\r\n");
        } else if (type == ConnectAccept) {
            setRemoteAddress();
            connectedAsListener("connected!!!\r\n");
        } else if (type == DataPacket) {
            sendControl(DisconnectNotice);
        }
        break;
    case Connected:
        if (type == ConnectRequest) {
            if (sendControl(ConnectAccept)) sendRecoveryOffer();
        } else if (type == DisconnectNotice) {
            onRemoteDisconnect();
        } else if (type == DataPacket) {
            storeRemotePacket(datagram, length);
        }
        break;
    }
}

void onRetryTimer() {
    if (sendControl(ConnectRequest)) sendRecoveryOffer();
    logPrintf(".");
}
