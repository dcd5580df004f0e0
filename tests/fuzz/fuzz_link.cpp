// The script behind every fuzz target. An input is a header (the clock's start,
// the link's state and an optional console transfer) and then operations, one
// byte choosing each among those the target allows, its arguments following.
// Everything runs on one thread, as the window thread and the port thread's
// turns would, one after the other; the doubles record what reached the
// console and the network.
#include "fuzz/fuzz_link.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/console.h"
#include "core/exchange.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "core/protocol.h"
#include "core/recovery.h"
#include "core/warnings.h"
#include "doubles/fake_widgets.h"
#include "doubles/fakes.h"
#include "os/serial_device.h"
#include "os/system.h"
#include "os/udp.h"
#include "serial/port_thread.h"
#include "ui/panel.h"
#include "ui/resource.h"

namespace {

struct Script {
    const uint8_t* p;
    size_t left;
    bool more() const { return left > 0; }
    uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    Bytes take(size_t n) {
        Bytes b;
        while (n-- > 0 && left > 0) b.push_back(byte());
        return b;
    }
};

[[noreturn]] void broken(const char* what, int line) {
    std::fprintf(stderr, "fuzz_link.cpp:%d: invariant broken: %s\n", line, what);
    std::abort();
}
#define REQUIRE(c)                                                                                 \
    do {                                                                                           \
        if (!(c)) broken(#c, __LINE__);                                                            \
    } while (0)

// Where datagrams come from: the hosts the setups use, a stranger, and no host.
const char* const kHosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.9", "0.0.0.0"};
const uint16_t kPorts[] = {4000, 3975, 5000};

uint64_t elapsedMs = 0; // the script's time, for the bound on warnings
size_t checkedWrites = 0, checkedReads = 0, checkedSent = 0, checkedReadLengths = 0;

void advance(uint32_t ms) {
    fakeSystem.now += ms;
    elapsedMs += ms;
    // The warning timer runs once it is due, as the window loop runs it.
    if (fakeWindow.warningTimerRunning &&
        int32_t(fakeSystem.now - fakeWindow.warningTimerDue) >= 0) {
        fakeWindow.warningTimerRunning = false;
        panelTimer(kWarningTimer);
    }
}

bool enabled(PanelButton b, int id) {
    return fakeWindow.buttons[b].enabled && fakeWindow.buttons[b].id == id;
}

void acceptSettings() {
    fakeWidgets.onSettingsDialog = [](DialogWindow& d) { settingsDialogOk(&d); };
    panelCommand(IDC_SETTINGS);
}

void pressConnect(const char* host, uint16_t port, bool ok) {
    fakeWidgets.onConnectDialog = [host, port, ok](DialogWindow& d) {
        d.type(IDC_REMOTE_ADDRESS, host);
        d.type(IDC_REMOTE_PORT, std::to_string(port));
        if (ok) connectDialogOk(&d);
    };
    panelCommand(IDC_CONNECT);
}

void arrive(const Bytes& data, const char* host, uint16_t port) {
    fakeNet.incoming.push_back({data, netParseAddress(host), port});
    panelSocketEvent(0, true);
}

// Everything a datagram from someone other than the peer must leave alone.
struct Snapshot {
    ConnectionState state;
    RemoteRing remote;
    SocketAddress peer;
    std::string remoteIp;
    uint16_t remotePort;
    uint32_t errors;
    size_t sent;
    bool timer;
    uint32_t captured, localSent, localStored;

    static Snapshot take() {
        const LinkState& s = linkState;
        return {s.connectionState.load(), s.remote, s.remoteAddress, s.remoteIp, s.remotePort,
                s.errorCount, fakeNet.sent.size(), fakeWindow.timerRunning,
                s.local.localCaptured, s.local.localSent, s.local.localStored};
    }
    bool operator==(const Snapshot& o) const {
        return state == o.state && std::memcmp(&remote, &o.remote, sizeof remote) == 0 &&
               peer.address == o.peer.address && peer.port == o.peer.port &&
               remoteIp == o.remoteIp && remotePort == o.remotePort && errors == o.errors &&
               sent == o.sent && timer == o.timer && captured == o.captured &&
               localSent == o.localSent && localStored == o.localStored;
    }
};

// Whether the link may act on a datagram from this sender.
bool fromPeer(const Bytes& data, uint32_t address, uint16_t port) {
    const SocketAddress& peer = linkState.remoteAddress;
    switch (linkState.connectionState.load()) {
    case Connected:
        return address == peer.address && netToNetworkPort(port) == peer.port;
    case Connecting:
        return address == peer.address;
    case Listening:
        if (data.size() < 8 || readLe32(data.data()) != ConnectAccept) return true;
        return peer.address != 0 && address == peer.address;
    case Idle:
        break;
    }
    return true;
}

void checkInvariants() {
    const LinkState& s = linkState;
    for (; checkedWrites < fakeSerial.writes.size(); ++checkedWrites) {
        REQUIRE(fakeSerial.writes[checkedWrites].size() <= size_t(kMaxPayload));
    }
    for (; checkedReads < fakeSerial.readCounts.size(); ++checkedReads) {
        REQUIRE(fakeSerial.readCounts[checkedReads] <= uint32_t(kMaxPayload));
    }
    // Bundles, and reads as long as one, only with recovery switched on.
    for (; checkedSent < fakeNet.sent.size(); ++checkedSent) {
        const Bytes& d = fakeNet.sent[checkedSent].data;
        const bool bundle = d.size() >= 4 && readLe32(d.data()) == DataBundle;
        REQUIRE(d.size() >= size_t(kHeaderSize));
        REQUIRE(d.size() <= size_t(bundle ? kMaxDatagram : kSlotSize));
        REQUIRE(!bundle || s.recovery.enabled);
    }
    for (; checkedReadLengths < fakeNet.readLengths.size(); ++checkedReadLengths) {
        const int n = fakeNet.readLengths[checkedReadLengths];
        REQUIRE(n >= 0 && n <= (s.recovery.enabled ? kMaxDatagram : kSlotSize));
    }

    uint32_t occupied = 0;
    for (int i = 0; i < kRingSlots; ++i) {
        if (s.remote.slots[i].type == 0) continue;
        ++occupied;
        REQUIRE(s.remote.remoteSize[i] >= 0 && s.remote.remoteSize[i] <= kMaxPayload);
    }
    REQUIRE(s.remote.remoteStored == occupied);
    for (int i = 0; i < kRingSlots; ++i) {
        REQUIRE(s.local.localSize[i] >= 0 && s.local.localSize[i] <= kMaxPayload);
    }
    REQUIRE(s.local.localStored <= 31);
    REQUIRE((s.local.localCaptured - s.local.localSent - s.local.localStored) % 32 == 0);
    REQUIRE(s.transferStage >= 0 && s.transferStage <= 8);
    REQUIRE(s.transferActive == (s.transferStage == 8));

    // The buttons show the state, and the retry timer runs only while connecting.
    const FakeButton& connect = fakeWindow.buttons[ConnectButton];
    const FakeButton& listen = fakeWindow.buttons[ListenButton];
    switch (s.connectionState.load()) {
    case Idle:
        REQUIRE(connect.id == IDC_CONNECT && connect.caption == "Connect...");
        REQUIRE(listen.id == IDC_LISTEN && listen.caption == "Listen");
        break;
    case Connecting:
        REQUIRE(connect.id == IDC_CONNECT_CANCEL && connect.caption == "Cancel");
        REQUIRE(listen.id == IDC_LISTEN && !listen.enabled);
        break;
    case Listening:
        REQUIRE(listen.id == IDC_LISTEN_CANCEL && listen.caption == "Cancel");
        REQUIRE(connect.id == IDC_CONNECT && !connect.enabled);
        break;
    case Connected:
        REQUIRE((connect.id == IDC_CONNECT_CANCEL && connect.caption == "Disconnect") !=
                (listen.id == IDC_LISTEN_CANCEL && listen.caption == "Disconnect"));
        break;
    }
    REQUIRE(fakeWindow.timerRunning == (s.connectionState == Connecting));
}

// However a peer or anyone else floods the socket, each repeated warning is
// written at most five times a period, with one count line after them.
void checkWarningsBounded() {
    static const char* const kRepeated[] = {"WARN: recv", "WARN: bad UDP", "WARN: old UDP",
                                            "WARN: UDP packet", "WARN: ignored"};
    const std::string& log = fakeWindow.allLog;
    size_t lines = 0;
    for (const char* start : kRepeated) {
        for (size_t at = log.find(start); at != std::string::npos; at = log.find(start, at + 1)) {
            ++lines;
        }
    }
    const uint64_t periods = elapsedMs / kRepeatPeriodMs + 1;
    // Six kinds a second, the ignored ones less often.
    REQUIRE(lines <= (kWrittenPerPeriod + 1) * (6 * periods + 1));
}

// ---- the operations ----

void datagramFrom(Script& in) {
    const uint8_t who = in.byte();
    const char* host = kHosts[who & 3];
    const uint16_t port = (who >> 2 & 3) == 3 ? in.u16() : kPorts[who >> 2 & 3];
    const uint8_t kind = in.byte();
    const uint32_t type = kind < 160 ? 1 + kind % 4
                          : kind < 200 ? (kind & 1 ? RecoveryOffer : DataBundle)
                                       : in.u32();
    const uint8_t order = in.byte();
    const uint32_t sequence = order < 200 ? linkState.remote.remoteDelivered + int8_t(in.byte())
                                          : in.u32();
    Bytes data = datagram(type, sequence, in.take(in.byte() % 80));
    if (type == DataBundle) {
        // A header, then entries near the next number due, their sizes and
        // count as the script says, consistent or not.
        data = datagram(DataBundle, in.u32(), {});
        data.resize(kBundleHeader);
        data[14] = in.byte() % 6;
        data[15] = in.byte();
        for (int k = in.byte() % 6; k > 0; --k) {
            Bytes entry(kBundleEntryHeader);
            writeLe32(entry.data(), linkState.remote.remoteDelivered + in.byte() % 40);
            entry[4] = in.byte() % 72;
            const Bytes payload = in.take(entry[4] + (in.byte() % 3) - 1);
            entry.insert(entry.end(), payload.begin(), payload.end());
            data.insert(data.end(), entry.begin(), entry.end());
        }
    }
    if (in.byte() & 1) data.resize(in.byte() % 8); // too short for a header

    const bool peer = fromPeer(data, netParseAddress(host), port);
    const Snapshot before = Snapshot::take();
    arrive(data, host, port);
    if (!peer) REQUIRE(Snapshot::take() == before);
}

void consoleBytes(Script& in) {
    switch (in.byte() % 3) {
    case 0:
        feed(in.take(in.byte() % 40));
        break;
    case 1: {
        static const uint8_t kKinds[] = {0x41, 0x43, 0x53};
        const uint8_t k = in.byte();
        const uint8_t kind = k < 240 ? kKinds[k % 3] : k;
        const uint8_t b3 = in.byte(), b4 = in.byte() % 3, b5 = in.byte() % 3;
        feed(controlPacket(kind, b3, b4, b5));
        break;
    }
    default: {
        int size = linkState.expectedSize;
        if (size < 2 || size > kMaxPayload) size = 2 + in.byte() % (kMaxPayload - 1);
        const uint8_t flags = in.byte(), fill = in.byte();
        feed(transferPacket(size, flags, fill));
        break;
    }
    }
}

void consoleEvent(Script& in) {
    const uint8_t b = in.byte();
    switch (b % 8) {
    case 0:
        onCommEvent(EvRxChar);
        break;
    case 1:
        fakeSerial.modem = in.byte() & (MsCtsOn | MsDsrOn);
        onCommEvent(EvCts);
        break;
    case 2:
    case 3:
        onCommEvent(EvDsr);
        break;
    case 4:
        onCommEvent(b); // several at once, or none
        break;
    case 5:
        advance(in.byte() * 16u); // up to about 4 s: the console time-out
        onPortIdle();
        break;
    case 6:
        deliverRemotePacket();
        break;
    default:
        fakeSerial.errors = in.byte() & 0x1F;
        break;
    }
}

void shortReadsAndWrites(Script& in) {
    const uint8_t b = in.byte();
    const int limit = b == 0xFF ? -1 : b % 70; // -1: the read or write fails
    if (in.byte() & 1) fakeSerial.readLimits.push_back(limit);
    else fakeSerial.writeLimits.push_back(limit);
}

// A packet of the peer filed as reading it would, without the network.
void peerPacket(Script& in) {
    const uint32_t sequence = linkState.remote.remoteDelivered + in.byte() % 40;
    Bytes data = datagram(DataPacket, sequence, in.take(in.byte() % 70));
    storeRemotePacket(data.data(), int(data.size()));
}

// Returns false when the program has closed.
bool button(Script& in) {
    const uint8_t b = in.byte();
    switch (b % 9) {
    case 0:
        if (enabled(ListenButton, IDC_LISTEN)) panelCommand(IDC_LISTEN);
        break;
    case 1:
        if (enabled(ConnectButton, IDC_CONNECT)) {
            const uint8_t w = in.byte();
            pressConnect(kHosts[w & 3], kPorts[w >> 2 & 1], (w & 16) == 0);
        }
        break;
    case 2:
        if (enabled(ConnectButton, IDC_CONNECT_CANCEL)) panelCommand(IDC_CONNECT_CANCEL);
        break;
    case 3:
        if (enabled(ListenButton, IDC_LISTEN_CANCEL)) panelCommand(IDC_LISTEN_CANCEL);
        break;
    case 4:
        if (fakeWindow.timerRunning) panelTimer(kConnectRetryTimer);
        break;
    case 5:
        fakeWindow.answerYes = !fakeWindow.answerYes;
        break;
    case 6:
        if (enabled(SettingsButton, IDC_SETTINGS)) acceptSettings();
        break;
    case 7:
        // The port thread gave up on its device.
        if (linkState.serialPort != nullptr && linkState.portThread != nullptr) {
            handOverPortLost(linkState.serialPort);
            panelHandOffs();
        }
        break;
    default:
        if (confirmLeave("Program Exit")) {
            shutdownProgram();
            return false;
        }
        break;
    }
    return true;
}

void clockJump(Script& in) {
    const uint8_t b = in.byte();
    if (b < 250) advance(b * 8u);
    else advance(in.u32()); // far, round the wrap of the millisecond clock
}

// The state a script starts in, reached through the panel as a user would.
void setUp(Script& in, unsigned operations) {
    resetFakes();
    resetFakeWidgets();
    resetRepeatedWarnings();
    elapsedMs = 0;
    checkedWrites = checkedReads = checkedSent = checkedReadLengths = 0;
    fakeSystem.now = in.u32();
    initPanel();
    acceptSettings();

    const uint8_t setup = in.byte();
    linkState.recovery.enabled = (setup & 0x40) != 0;
    switch (setup % 6) {
    case 0:
        break; // Idle
    case 1:
        pressConnect("127.0.0.3", 3975, true);
        break;
    case 2:
        panelCommand(IDC_LISTEN);
        break;
    case 3: // a listener a peer has reached
        panelCommand(IDC_LISTEN);
        arrive(datagram(ConnectRequest, 0), "127.0.0.2", 4000);
        break;
    case 4: // connected by an answer from another port than dialled
        pressConnect("127.0.0.3", 3975, true);
        arrive(datagram(ConnectAccept, 0), "127.0.0.3", 5000);
        break;
    default: // listening after an attempt
        pressConnect("127.0.0.3", 3975, true);
        panelCommand(IDC_CONNECT_CANCEL);
        panelCommand(IDC_LISTEN);
        break;
    }
    // With a peer that offers recovery, when asked (from either peer's place).
    if (setup & 0x20) {
        arrive(datagram(RecoveryOffer, kOfferHeard), "127.0.0.2", 4000);
        arrive(datagram(RecoveryOffer, kOfferHeard), "127.0.0.3", 5000);
    }
    // Inside a transfer of an announced size of 2 to 257, when asked.
    if ((setup & 0x80) && (operations & (FuzzDatagrams | FuzzConsole))) {
        enterTransfer(2 + in.byte());
        linkState.local.localStored = 0;
    }
}

} // namespace

void runLinkScript(const uint8_t* data, size_t size, unsigned operations) {
    Script in{data, size};
    setUp(in, operations);
    checkInvariants();

    using Operation = bool (*)(Script&);
    std::vector<Operation> chosen;
    chosen.push_back([](Script& s) { clockJump(s); return true; });
    if (operations & FuzzDatagrams) {
        chosen.push_back([](Script& s) { datagramFrom(s); return true; });
        chosen.push_back([](Script& s) { datagramFrom(s); return true; });
        chosen.push_back([](Script&) { panelSocketEvent(0, true); return true; }); // nothing waits
        chosen.push_back([](Script&) { deliverRemotePacket(); return true; });
        chosen.push_back([](Script&) { sendDueCopies(clockMs()); return true; });
    }
    if (operations & FuzzConsole) {
        chosen.push_back([](Script& s) { consoleBytes(s); return true; });
        chosen.push_back([](Script& s) { consoleEvent(s); return true; });
        chosen.push_back([](Script& s) { consoleEvent(s); return true; });
        chosen.push_back([](Script& s) { shortReadsAndWrites(s); return true; });
        chosen.push_back([](Script& s) { peerPacket(s); return true; });
    }
    if (operations & FuzzButtons) chosen.push_back(button);

    while (in.more()) {
        const Operation op = chosen[in.byte() % chosen.size()];
        const bool goOn = op(in);
        checkInvariants();
        if (!goOn) break;
    }
    shutdownProgram(); // (again, after a close: it closes only what is open)
    checkWarningsBounded();
}
