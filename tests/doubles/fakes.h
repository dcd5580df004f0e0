// Doubles for everything the logic asks of the operating system: the serial
// device, the socket library, the clock, events, threads, the panel and its log.
// Tests script them and read what the logic did to them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/link_state.h"
#include "core/view.h"
#include "os/serial_device.h"

using Bytes = std::vector<uint8_t>;

struct FakeSerial {
    // opening
    bool openFails = false;
    uint32_t openError = 2;
    std::vector<std::string> opened; // names asked for, in order
    int closes = 0;
    bool distinctPorts = false; // each open gives the next of four ports, not always one
    std::vector<SerialPort*> portsUsed; // the port of every device call after the open, in order
    std::vector<SerialPort*> portsClosed;
    // runs inside the next read, as the window thread would while the read hangs
    std::function<void()> duringRead;
    bool isOpen = false;
    LineSettings line{9600, 7, 2, 1};
    CommTimeouts timeouts{1, 2, 3, 4, 5}; // what the device holds
    std::vector<CommTimeouts> timeoutWrites;
    uint32_t queueIn = 0, queueOut = 0;

    // reading: bytes the console sent; readLimits, when not empty, gives each
    // read in turn at most that many bytes (-1: the read fails)
    std::deque<uint8_t> input;
    std::deque<int> readLimits;
    std::vector<uint32_t> readCounts; // count asked by each read
    std::string io; // 'r' for each read, 'w' for each write, in order

    // writing: every write as it reached the device; writeLimits like readLimits
    std::vector<Bytes> writes;
    std::deque<int> writeLimits;

    uint32_t errors = 0; // returned and cleared by serialClearErrors
    uint32_t modem = 0;
    std::vector<uint32_t> masks;
    int clearErrorCalls = 0;

    // the port thread's wait: each waitLineOrPacket takes the next step; when the
    // script is empty it sets stopPortThread and reports a time-out
    struct WaitStep {
        uint32_t result;        // 0 line event, 1 packet, kWaitTimeout, other = failure
        uint32_t events = 0;    // with 0: what the result query reports
        bool resultFails = false;
        uint32_t error = 0;     // error of a failed query or wait
        uint32_t advanceMs = 0; // fake clock moves on by this much first
        bool closesPort = false; // the window thread starts closing the port first
        bool waitsItOut = false; // the clock moves on by the time-out asked instead
    };
    std::deque<WaitStep> waitSteps;
    std::vector<uint32_t> waitTimeouts; // the time-out each wait was asked for
    // serialWaitEvent results, in turn; WaitPending when empty
    struct StartStep {
        int result;
        uint32_t events = 0;
        uint32_t error = 0;
    };
    std::deque<StartStep> startSteps;
    int waitStarts = 0;
    // a failed result query ends its wait: queries fail so until the next start
    bool waitFailed = false;
    uint32_t waitFailedError = 0;
    int waitEventsCreated = 0, waitEventsClosed = 0;
    bool endWaitsCalled = false;
    std::vector<SerialPort*> portsEnding; // serialEndWaits, port by port
    const char* lineMethod = nullptr; // serialLineMethod
};

struct FakeNet {
    int startupResult = 0;
    int cleanups = 0;
    bool hostNameFails = false;
    std::string hostName = "zavik-host";
    std::vector<uint32_t> hostAddresses = {0x0100007Fu}; // 127.0.0.1
    bool resolveFails = false;

    bool ipv6 = false; // the layer speaks IPv6 too, as on Linux; else as WinSock 1.1
    std::vector<uint16_t> socketFamilies; // the family of each socket made
    bool socketFails = false;
    bool bindFails = false;
    bool armFails = false;
    int lastError = 0;
    uintptr_t nextSocket = 100;
    std::vector<uintptr_t> closed;
    std::vector<SocketAddress> binds;
    int arms = 0;                     // socket notifications started
    std::vector<uintptr_t> notifyStops; // sockets whose notifications were stopped

    struct Sent {
        Bytes data;
        SocketAddress to;
    };
    std::vector<Sent> sent;
    std::deque<int> sendResults; // when not empty: result of each send (-1 fails)

    struct Incoming {
        Bytes data;
        uint32_t fromAddress; // network order
        uint16_t fromPort;    // host order
        SocketAddress from6{}; // the sender instead, when its family is kAfInet6
    };
    std::deque<Incoming> incoming;
    std::vector<int> readLengths; // length asked by each recv/recvfrom
};

struct FakeButton {
    std::string caption;
    int id = 0;
    bool enabled = false;
};

struct FakeWindow {
    FakeButton buttons[3];
    int focused = -1; // PanelButton with the focus
    bool timerRunning = false;
    int timerKills = 0;
    bool warningTimerRunning = false; // the warning timer, once, at warningTimerDue
    uint32_t warningTimerDue = 0;
    std::vector<std::string> questions; // "caption|text"
    bool answerYes = true;
    std::vector<uint32_t> sleeps;
    // Every effect on the panel, in order: "log:<text>", "caption:<button>:<text>",
    // "id:<button>:<id>", "enable:<button>:<0|1>", "focus:<button>", "sleep:<ms>",
    // "timer:start", "timer:kill" (button = PanelButton number).
    std::vector<std::string> effects;
    std::function<void(uint32_t)> onSleep; // runs inside sleepMs, when set
    int stopAtSleep = 0; // when > 0: the sleep with this number sets stopPortThread

    std::string log; // everything appended to the pane since the last clear
    std::string allLog; // everything ever appended
    int clears = 0;
    std::map<int, uint32_t> counters;
    std::vector<std::pair<int, uint32_t>> counterWrites;
};

struct FakeSystem {
    uint32_t now = 1000;
    uint32_t lastError = 0;
    int eventsCreated = 0, eventsSet = 0, eventsClosed = 0;
    bool eventCreateFails = false;
    int threadsStarted = 0;
    bool threadStartFails = false;
    std::vector<int> threadPriorities;
    std::vector<bool> processHigh;
    // the port thread's end: threadWait reports it still running this many times,
    // each time after the fake clock has moved on by the time waited
    int threadWaitsRunning = 0;
    int threadWaits = 0, threadReleases = 0;
    bool releasedRunning = false;    // released before a wait saw it end
    // In order: "timer:begin", "timer:end", "thread:start", "thread:ended".
    std::vector<std::string> sequence;
    bool portOpenAtThreadEnd = false;     // the serial port when a wait saw the end
    bool waitsEndedAtThreadEnd = false;   // serialEndWaits called by then
};

extern FakeSerial fakeSerial;
extern FakeNet fakeNet;
extern FakeWindow fakeWindow;
extern FakeSystem fakeSystem;

// Puts every double and the link state back to the state of a fresh process,
// with the buttons as the panel creates them.
void resetFakes();

// A test with fresh doubles and a fresh LinkState, run on the window thread.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { resetFakes(); }
};

// The button shows this caption, carries this id and is enabled or not.
void expectButton(PanelButton b, const char* caption, int id, bool enabled);

// Helpers to build packets.
Bytes controlPacket(uint8_t kind, uint8_t b3, uint8_t b4, uint8_t b5 = 0); // valid checksum
Bytes transferPacket(int size, uint8_t flags, uint8_t fill = 0);            // valid checksum
Bytes datagram(uint32_t type, uint32_t sequence, const Bytes& payload = {});

// Bytes the console sends, waiting at the port.
void feed(const Bytes& bytes);
// Leaves a packet in LocalRing as a capture does.
void captureLocal(const Bytes& payload);
// Files a peer packet in RemoteRing as storing it would.
void storeRemote(uint32_t sequence, const Bytes& payload);
// The console is in a running transfer of packets of the given size.
void enterTransfer(int32_t size);
