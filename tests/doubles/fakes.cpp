#include "doubles/fakes.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/log.h"
#include "core/view.h"
#include "core/warnings.h"
#include "os/system.h"
#include "os/udp.h"

FakeSerial fakeSerial;
FakeNet fakeNet;
FakeWindow fakeWindow;
FakeSystem fakeSystem;

struct SerialPort {
    int unused;
};
struct LineWait {
    bool pending;
};
struct WakeEvent {
    bool signalled;
};
struct ThreadHandle {
    int (*entry)();
};

namespace {
SerialPort thePort;
SerialPort thePorts[4];
LineWait theWait;
WakeEvent theEvent;
ThreadHandle theThread;
void use(SerialPort* port) { fakeSerial.portsUsed.push_back(port); }
} // namespace

void resetFakes() {
    fakeSerial = FakeSerial{};
    fakeNet = FakeNet{};
    fakeWindow = FakeWindow{};
    fakeSystem = FakeSystem{};
    fakeWindow.buttons[SettingsButton] = {"Settings...", 1036, false};
    fakeWindow.buttons[ConnectButton] = {"Connect...", 1037, false};
    fakeWindow.buttons[ListenButton] = {"Listen", 1012, false};
    setWindowThread();
    deliverHandOffs();
    initLinkState();
    // A side with recovery switched off speaks only the four first datagram
    // types; the tests of those run so, recovery_test switches it on.
    linkState.recovery.enabled = false;
    resetRepeatedWarnings();
}

void captureLocal(const Bytes& payload) {
    LocalRing& r = linkState.local;
    const int i = slotIndex(r.localCaptured);
    r.slots[i].type = DataPacket;
    r.slots[i].sequence = r.localCaptured;
    if (!payload.empty()) std::memcpy(r.slots[i].payload, payload.data(), payload.size());
    r.localSize[i] = int32_t(payload.size());
    ++r.localCaptured;
    ++r.localStored;
}

Bytes controlPacket(uint8_t kind, uint8_t b3, uint8_t b4, uint8_t b5) {
    Bytes p = {0xFD, kind, 0x00, b3, b4, b5, 0x00, 0x00};
    uint8_t sum = 0;
    for (int i = 0; i < 7; ++i) sum = uint8_t(sum + p[i]);
    p[7] = sum;
    return p;
}

Bytes transferPacket(int size, uint8_t flags, uint8_t fill) {
    Bytes p(size_t(size), fill);
    p[size_t(size) - 2] = flags;
    uint8_t sum = 0;
    for (int i = 0; i < size - 1; ++i) sum = uint8_t(sum + p[size_t(i)]);
    p[size_t(size) - 1] = sum;
    return p;
}

Bytes datagram(uint32_t type, uint32_t sequence, const Bytes& payload) {
    uint8_t header[8];
    writeLe32(header, type);
    writeLe32(header + 4, sequence);
    Bytes d(header, header + 8);
    for (uint8_t b : payload) d.push_back(b);
    return d;
}

void expectButton(PanelButton b, const char* caption, int id, bool enabled) {
    SCOPED_TRACE(caption);
    EXPECT_EQ(fakeWindow.buttons[b].caption, caption);
    EXPECT_EQ(fakeWindow.buttons[b].id, id);
    EXPECT_EQ(fakeWindow.buttons[b].enabled, enabled);
}

void feed(const Bytes& bytes) {
    for (uint8_t b : bytes) fakeSerial.input.push_back(b);
}

void storeRemote(uint32_t sequence, const Bytes& payload) {
    int i = slotIndex(sequence);
    PacketSlot& slot = linkState.remote.slots[i];
    slot.type = DataPacket;
    slot.sequence = sequence;
    if (!payload.empty()) std::memcpy(slot.payload, payload.data(), payload.size());
    linkState.remote.remoteSize[i] = int32_t(payload.size());
    ++linkState.remote.remoteStored;
}

void enterTransfer(int32_t size) {
    linkState.transferStage = 8;
    linkState.transferActive = true;
    linkState.expectedSize = size;
    linkState.psxActive = true;
}

// ---- system ----
uint32_t clockMs() { return fakeSystem.now; }
void sleepMs(uint32_t ms) {
    fakeWindow.sleeps.push_back(ms);
    fakeWindow.effects.push_back("sleep:" + std::to_string(ms));
    if (fakeWindow.onSleep) fakeWindow.onSleep(ms);
    if (int(fakeWindow.sleeps.size()) == fakeWindow.stopAtSleep) linkState.stopPortThread = true;
}
uint32_t lastSystemError() { return fakeSystem.lastError; }

WakeEvent* wakeEventCreate() {
    if (fakeSystem.eventCreateFails) return nullptr;
    ++fakeSystem.eventsCreated;
    theEvent.signalled = false;
    return &theEvent;
}
void wakeEventSet(WakeEvent* e) {
    ++fakeSystem.eventsSet;
    if (e) e->signalled = true;
}
void wakeEventClose(WakeEvent*) { ++fakeSystem.eventsClosed; }

void timerPrecisionBegin() { fakeSystem.sequence.push_back("timer:begin"); }
void timerPrecisionEnd() { fakeSystem.sequence.push_back("timer:end"); }

ThreadHandle* threadStart(int (*entry)()) {
    if (fakeSystem.threadStartFails) return nullptr;
    fakeSystem.sequence.push_back("thread:start");
    ++fakeSystem.threadsStarted;
    theThread.entry = entry; // not run: port-thread tests call its body directly
    return &theThread;
}
int threadWait(ThreadHandle*, uint32_t ms) {
    ++fakeSystem.threadWaits;
    if (fakeSystem.threadWaitsRunning > 0) {
        --fakeSystem.threadWaitsRunning;
        fakeSystem.now += ms;
        return 0;
    }
    fakeSystem.sequence.push_back("thread:ended");
    fakeSystem.portOpenAtThreadEnd = fakeSerial.isOpen;
    fakeSystem.waitsEndedAtThreadEnd = fakeSerial.endWaitsCalled;
    return 1;
}
void threadRelease(ThreadHandle*) {
    ++fakeSystem.threadReleases;
    if (fakeSystem.threadWaitsRunning > 0) fakeSystem.releasedRunning = true;
}
void threadSetPriority(ThreadHandle*, ThreadPriority p) {
    fakeSystem.threadPriorities.push_back(int(p));
}
void processSetHighPriority(bool high) { fakeSystem.processHigh.push_back(high); }

// ---- panel ----
void buttonSetCaption(PanelButton b, const char* caption) {
    fakeWindow.buttons[b].caption = caption;
    fakeWindow.effects.push_back("caption:" + std::to_string(int(b)) + ":" + caption);
}
void buttonSetId(PanelButton b, int id) {
    fakeWindow.buttons[b].id = id;
    fakeWindow.effects.push_back("id:" + std::to_string(int(b)) + ":" + std::to_string(id));
}
void buttonEnable(PanelButton b, bool enable) {
    fakeWindow.buttons[b].enabled = enable;
    fakeWindow.effects.push_back("enable:" + std::to_string(int(b)) + ":" + (enable ? "1" : "0"));
}
void buttonFocus(PanelButton b) {
    fakeWindow.focused = int(b);
    fakeWindow.effects.push_back("focus:" + std::to_string(int(b)));
}
void retryTimerStart() {
    fakeWindow.timerRunning = true;
    fakeWindow.effects.push_back("timer:start");
}
void warningTimerStart(uint32_t ms) {
    fakeWindow.warningTimerDue = fakeSystem.now + ms;
    fakeWindow.warningTimerRunning = true;
}
void retryTimerKill() {
    fakeWindow.timerRunning = false;
    ++fakeWindow.timerKills;
    fakeWindow.effects.push_back("timer:kill");
}
int askYesNo(const char* text, const char* caption) {
    fakeWindow.questions.push_back(std::string(caption) + "|" + text);
    return fakeWindow.answerYes ? 1 : 0;
}

void paneAppend(const char* text) {
    fakeWindow.log += text;
    fakeWindow.allLog += text;
    fakeWindow.effects.push_back(std::string("log:") + text);
}
void paneClear() {
    fakeWindow.log.clear();
    ++fakeWindow.clears;
}
void paneSetCounter(int id, uint32_t value) {
    fakeWindow.counters[id] = value;
    fakeWindow.counterWrites.push_back({id, value});
}
void wakeWindowThread() {}

// ---- serial device ----
const uint32_t kPortClosedError = 6;

SerialPort* serialOpen(const char* name, uint32_t* error) {
    fakeSerial.opened.push_back(name);
    if (fakeSerial.openFails) {
        *error = fakeSerial.openError;
        return nullptr;
    }
    fakeSerial.isOpen = true;
    if (fakeSerial.distinctPorts) return &thePorts[(fakeSerial.opened.size() - 1) % 4];
    return &thePort;
}
void serialSetQueues(SerialPort*, uint32_t in, uint32_t out) {
    fakeSerial.queueIn = in;
    fakeSerial.queueOut = out;
}
int serialGetLine(SerialPort*, LineSettings* s) {
    *s = fakeSerial.line;
    return 1;
}
int serialSetLine(SerialPort*, const LineSettings* s) {
    fakeSerial.line = *s;
    return 1;
}
int serialGetTimeouts(SerialPort* port, CommTimeouts* t) {
    use(port);
    *t = fakeSerial.timeouts;
    return 1;
}
int serialSetTimeouts(SerialPort* port, const CommTimeouts* t) {
    use(port);
    fakeSerial.timeouts = *t;
    fakeSerial.timeoutWrites.push_back(*t);
    return 1;
}
void serialClose(SerialPort* port) {
    fakeSerial.portsClosed.push_back(port);
    ++fakeSerial.closes;
    fakeSerial.isOpen = false;
}

namespace {
// The next scripted limit cuts count; false when the script says the call fails.
bool nextLimit(std::deque<int>& limits, uint32_t* count) {
    if (limits.empty()) return true;
    int l = limits.front();
    limits.pop_front();
    if (l < 0) return false;
    *count = std::min(*count, uint32_t(l));
    return true;
}
} // namespace

int serialRead(SerialPort* port, uint8_t* buffer, uint32_t count, uint32_t* done) {
    use(port);
    if (auto during = std::exchange(fakeSerial.duringRead, nullptr)) during();
    fakeSerial.readCounts.push_back(count);
    fakeSerial.io += 'r';
    uint32_t limit = count;
    if (!nextLimit(fakeSerial.readLimits, &limit)) return 0;
    uint32_t n = 0;
    while (n < limit && !fakeSerial.input.empty()) {
        buffer[n++] = fakeSerial.input.front();
        fakeSerial.input.pop_front();
    }
    *done = n;
    return 1;
}

int serialWrite(SerialPort* port, const uint8_t* buffer, uint32_t count, uint32_t* done) {
    use(port);
    fakeSerial.io += 'w';
    uint32_t limit = count;
    if (!nextLimit(fakeSerial.writeLimits, &limit)) return 0;
    fakeSerial.writes.push_back(Bytes(buffer, buffer + limit));
    *done = limit;
    return 1;
}

int serialClearErrors(SerialPort* port, uint32_t* errors, uint32_t* inQueue) {
    use(port);
    ++fakeSerial.clearErrorCalls;
    if (errors) *errors = fakeSerial.errors;
    if (inQueue) *inQueue = uint32_t(fakeSerial.input.size());
    fakeSerial.errors = 0;
    return 1;
}
int serialModemStatus(SerialPort* port, uint32_t* status) {
    use(port);
    *status = fakeSerial.modem;
    return 1;
}
int serialSetMask(SerialPort* port, uint32_t mask) {
    use(port);
    fakeSerial.masks.push_back(mask);
    return 1;
}

LineWait* lineWaitCreate() {
    ++fakeSerial.waitEventsCreated;
    theWait.pending = false;
    return &theWait;
}
void lineWaitClose(LineWait*) { ++fakeSerial.waitEventsClosed; }

int serialWaitEvent(SerialPort* port, LineWait*, uint32_t* events, uint32_t* error) {
    use(port);
    ++fakeSerial.waitStarts;
    fakeSerial.waitFailed = false;
    if (fakeSerial.startSteps.empty()) return WaitPending;
    FakeSerial::StartStep s = fakeSerial.startSteps.front();
    fakeSerial.startSteps.pop_front();
    *events = s.events;
    *error = s.error;
    return s.result;
}

namespace {
FakeSerial::WaitStep currentStep;
}

uint32_t waitLineOrPacket(LineWait*, WakeEvent*, uint32_t, uint32_t timeoutMs,
                          uint32_t* error) {
    fakeSerial.waitTimeouts.push_back(timeoutMs);
    if (fakeSerial.waitSteps.empty()) {
        linkState.stopPortThread = true;
        return kWaitTimeout;
    }
    currentStep = fakeSerial.waitSteps.front();
    fakeSerial.waitSteps.pop_front();
    fakeSystem.now += currentStep.waitsItOut ? timeoutMs : currentStep.advanceMs;
    if (currentStep.closesPort) fakeSerial.endWaitsCalled = true;
    *error = currentStep.error;
    return currentStep.result;
}

int serialWaitResult(SerialPort* port, LineWait*, uint32_t* events, uint32_t* error) {
    use(port);
    if (fakeSerial.waitFailed) {
        *error = fakeSerial.waitFailedError;
        return 0;
    }
    if (currentStep.resultFails) {
        *error = currentStep.error;
        fakeSerial.waitFailed = currentStep.error != kPortClosedError;
        fakeSerial.waitFailedError = currentStep.error;
        return 0;
    }
    *events = currentStep.events;
    return 1;
}

void serialEndWaits(SerialPort* port) {
    fakeSerial.endWaitsCalled = true;
    fakeSerial.portsEnding.push_back(port);
}
const char* serialLineMethod(SerialPort*) { return fakeSerial.lineMethod; }
int serialClosing(SerialPort* port) {
    if (!fakeSerial.distinctPorts) return fakeSerial.endWaitsCalled ? 1 : 0;
    const std::vector<SerialPort*>& ending = fakeSerial.portsEnding;
    return std::find(ending.begin(), ending.end(), port) != ending.end() ? 1 : 0;
}

// ---- socket library ----
int netStartup() { return fakeNet.startupResult; }
void netCleanup() { ++fakeNet.cleanups; }
int netHostName(char* name, int size) {
    if (fakeNet.hostNameFails) return 0;
    copyText(name, size_t(size), fakeNet.hostName.c_str());
    return 1;
}
int netHostAddresses(const char*, uint32_t* addresses, int max) {
    if (fakeNet.resolveFails) return -1;
    int n = 0;
    for (uint32_t a : fakeNet.hostAddresses) {
        if (n == max) break;
        addresses[n++] = a;
    }
    return n;
}
uint32_t netParseAddress(const char* text) { return inet_addr(text); }
void netFormatAddress(uint32_t address, char* out) {
    in_addr a;
    a.s_addr = address;
    copyText(out, 16, inet_ntoa(a));
}
uint16_t netToNetworkPort(uint16_t port) { return htons(port); }
uint16_t netFromNetworkPort(uint16_t port) { return ntohs(port); }

// The doubles speak as WinSock 1.1 does (IPv4 text of at most 19 characters),
// or with fakeNet.ipv6 as the Linux layer does.
int netAddressTextSize() { return fakeNet.ipv6 ? kAddressTextSize : 20; }
int netMakeAddress(const char* text, uint16_t port, SocketAddress* out) {
    *out = SocketAddress{};
    out->family = kAfInet;
    out->port = htons(port);
    if (fakeNet.ipv6 && std::strchr(text, ':') != nullptr) {
        in6_addr a;
        if (inet_pton(AF_INET6, text, &a) != 1) {
            out->address = INADDR_NONE;
            return 0;
        }
        out->family = kAfInet6;
        std::memcpy(out->address6, &a, 16);
        return 1;
    }
    out->address = inet_addr(text);
    return out->address != INADDR_NONE;
}
void netAddressText(const SocketAddress& address, char* out) {
    if (address.family == kAfInet6) {
        inet_ntop(AF_INET6, address.address6, out, kAddressTextSize);
    } else {
        netFormatAddress(address.address, out);
    }
}

uintptr_t netSocket(uint16_t family) {
    fakeNet.socketFamilies.push_back(family);
    if (fakeNet.socketFails) return 0;
    return fakeNet.nextSocket++;
}
int netBind(uintptr_t, const SocketAddress& address) {
    fakeNet.binds.push_back(address);
    return fakeNet.bindFails ? 0 : 1;
}
void netCloseSocket(uintptr_t socket) { fakeNet.closed.push_back(socket); }
int socketNotifyStart(uintptr_t) {
    ++fakeNet.arms;
    return fakeNet.armFails ? 0 : 1;
}
void socketNotifyStop(uintptr_t socket) { fakeNet.notifyStops.push_back(socket); }

int netSendTo(uintptr_t, const uint8_t* data, int length, const SocketAddress& to) {
    int result = length;
    if (!fakeNet.sendResults.empty()) {
        result = fakeNet.sendResults.front();
        fakeNet.sendResults.pop_front();
    }
    if (result >= 0) fakeNet.sent.push_back({Bytes(data, data + length), to});
    return result;
}

int netRecvFrom(uintptr_t, uint8_t* buffer, int length, SocketAddress* from) {
    fakeNet.readLengths.push_back(length);
    if (fakeNet.incoming.empty()) {
        fakeNet.lastError = 10035; // would block
        return -1;
    }
    FakeNet::Incoming in = fakeNet.incoming.front();
    fakeNet.incoming.pop_front();
    if (int(in.data.size()) > length) {
        fakeNet.lastError = 10040; // message too long
        return -1;
    }
    if (!in.data.empty()) std::memcpy(buffer, in.data.data(), in.data.size());
    if (from) *from = SocketAddress{kAfInet, htons(in.fromPort), in.fromAddress};
    if (from && in.from6.family == kAfInet6) {
        *from = in.from6;
        from->port = htons(in.fromPort);
    }
    return int(in.data.size());
}
int netLastError() { return fakeNet.lastError; }
