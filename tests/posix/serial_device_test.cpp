// The Linux serial device layer against a pseudo-terminal pair: the test holds
// the master side (the "console"), the device layer opens the slave by its path.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fresh_program.h"
#include "os/serial_device.h"
#include "serial/sim/sim_options.h"
#include "os/system.h"
#include "serial/posix/device_list.h"
#include "serial/posix/device_posix.h"
#include "serial/serial_port.h"
#include "ui/posix/front_end.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The read and write time-outs that the program gives the console's port.
const CommTimeouts kPortTimeouts{5, 0, 10, 0, 30};

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        path = ptsname(master);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override {
        if (port != nullptr) serialClose(port);
        if (master >= 0) close(master);
        close(slave);
    }
    void openPort() {
        uint32_t error = 0;
        port = serialOpen(path.c_str(), &error);
        ASSERT_NE(port, nullptr) << "errno " << error;
        ASSERT_EQ(serialSetTimeouts(port, &kPortTimeouts), 1);
    }
    void console(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // The pty passes bytes on asynchronously: wait until the slave has them.
    void awaitInput() {
        pollfd p{slave, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
    }
    std::vector<uint8_t> drainMaster() {
        std::vector<uint8_t> all;
        uint8_t chunk[4096];
        for (;;) {
            ssize_t r = read(master, chunk, sizeof chunk);
            if (r > 0) {
                all.insert(all.end(), chunk, chunk + r);
                continue;
            }
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) break;
        }
        return all;
    }

    int master = -1, slave = -1;
    std::string path;
    SerialPort* port = nullptr;
};

// Each case is told apart from the others by time-outs far apart, so the upper
// bounds can leave a loaded machine a whole second.
TEST_F(PtyTest, ReadsEndByTheTimeouts) {
    openPort();
    uint8_t buffer[8] = {};
    uint32_t done = 99;

    // Three of eight bytes: the 5 ms interval after the last byte ends the
    // read, long before its 2 s total.
    const CommTimeouts longTotal{5, 0, 2000, 0, 30};
    ASSERT_EQ(serialSetTimeouts(port, &longTotal), 1);
    console({0xFD, 0x01, 0x02});
    awaitInput();
    auto start = Clock::now();
    ASSERT_EQ(serialRead(port, buffer, 8, &done), 1);
    double partial = msSince(start);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(buffer[0], 0xFD);
    EXPECT_EQ(buffer[2], 0x02);
    EXPECT_GE(partial, 4.5);
    EXPECT_LT(partial, 1000.0);

    // Nothing at all: success with no bytes once the program's 10 ms total has
    // passed.
    ASSERT_EQ(serialSetTimeouts(port, &kPortTimeouts), 1);
    start = Clock::now();
    ASSERT_EQ(serialRead(port, buffer, 8, &done), 1);
    double empty = msSince(start);
    EXPECT_EQ(done, 0u);
    EXPECT_GE(empty, 9.5);
    EXPECT_LT(empty, 1000.0);

    // The whole count ends a read at once, whatever the time-outs.
    const CommTimeouts slow{2000, 0, 4000, 0, 30};
    ASSERT_EQ(serialSetTimeouts(port, &slow), 1);
    console({1, 2, 3, 4, 5, 6, 7, 8, 9});
    awaitInput();
    start = Clock::now();
    ASSERT_EQ(serialRead(port, buffer, 8, &done), 1);
    EXPECT_EQ(done, 8u);
    EXPECT_EQ(buffer[7], 8);
    EXPECT_LT(msSince(start), 1000.0);
    ASSERT_EQ(serialSetTimeouts(port, &kPortTimeouts), 1);
    ASSERT_EQ(serialRead(port, buffer, 8, &done), 1); // the ninth byte stayed queued
    EXPECT_EQ(done, 1u);
    EXPECT_EQ(buffer[0], 9);

    std::printf("[ measured ] 3 of 8 bytes: %.2f ms; nothing: %.2f ms\n", partial, empty);
}

TEST_F(PtyTest, BytesCloserThanTheIntervalKeepAReadGoing) {
    openPort();
    // Bytes 4 ms apart, an interval of half a second: only a sender held up
    // that long could end the read early.
    const CommTimeouts t{500, 0, 5000, 0, 30};
    ASSERT_EQ(serialSetTimeouts(port, &t), 1);
    std::thread sender([this] {
        for (uint8_t b = 1; b <= 5; b++) {
            ASSERT_EQ(write(master, &b, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    });
    uint8_t buffer[8] = {};
    uint32_t done = 0;
    ASSERT_EQ(serialRead(port, buffer, 8, &done), 1);
    sender.join();
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(buffer[4], 5);
}

TEST_F(PtyTest, WriteReportsWhatWentOut) {
    openPort();
    const std::vector<uint8_t> packet{0xFD, 0x10, 0x20, 0x30};
    uint32_t done = 0;
    ASSERT_EQ(serialWrite(port, packet.data(), uint32_t(packet.size()), &done), 1);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(drainMaster(), packet);

    // Nobody reads the other end: the write gives up after its 30 ms and says
    // how much the line took, exactly.
    std::vector<uint8_t> big(1 << 20);
    for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i * 7);
    auto start = Clock::now();
    ASSERT_EQ(serialWrite(port, big.data(), uint32_t(big.size()), &done), 1);
    double took = msSince(start);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, uint32_t(big.size()));
    EXPECT_GE(took, 29.0);
    EXPECT_LT(took, 1000.0);
    std::vector<uint8_t> arrived = drainMaster();
    ASSERT_EQ(arrived.size(), size_t(done));
    EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), big.begin()));
    std::printf("[ measured ] short write: %u bytes in %.2f ms\n", done, took);
}

TEST_F(PtyTest, OpensOnlyExistingFreeTerminals) {
    openPort();
    uint32_t error = 0;
    SerialPort* second = serialOpen(path.c_str(), &error);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(error == EBUSY || error == EWOULDBLOCK) << error;
    if (second != nullptr) serialClose(second);

    serialClose(port);
    port = nullptr;
    second = serialOpen(path.c_str(), &error);
    ASSERT_NE(second, nullptr) << "a closed port opens again";
    serialClose(second);

    error = 0;
    EXPECT_EQ(serialOpen("/dev/zavik-no-such-port", &error), nullptr);
    EXPECT_EQ(error, uint32_t(ENOENT));
    error = 0;
    EXPECT_EQ(serialOpen("/dev/null", &error), nullptr) << "not a serial line";
    EXPECT_EQ(error, uint32_t(ENOTTY));
}

// What the user sees when the port cannot be had: the open line completed by the
// system's error number, and no port held.
TEST_F(PtyTest, OpeningAHeldOrMissingPortLogsTheFailure) {
    openPort(); // another holder
    startFreshProgram();
    copyText(linkState.serialPortName, sizeof linkState.serialPortName, path.c_str());
    EXPECT_EQ(openSerialPort(), 0);
    EXPECT_EQ(linkState.serialPort, nullptr);
    copyText(linkState.serialPortName, sizeof linkState.serialPortName, "/dev/zavik-no-such-port");
    EXPECT_EQ(openSerialPort(), 0);
    EXPECT_EQ(linkState.serialPort, nullptr);
    EXPECT_EQ(std::string(paneText()),
              "Opening serial port " + path + " ...failed (error #" + std::to_string(EWOULDBLOCK) +
                  ").\r\nOpening serial port /dev/zavik-no-such-port ...failed (error #" +
                  std::to_string(ENOENT) + ").\r\n");
}

TEST_F(PtyTest, CloseRestoresTheTerminalButKeepsTheLine) {
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_lflag |= ECHO | ICANON | ISIG;
    before.c_oflag |= OPOST;
    before.c_cflag |= CSTOPB; // (a pty keeps itself at 8 bits, no parity)
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);

    openPort();
    termios open;
    ASSERT_EQ(tcgetattr(slave, &open), 0);
    EXPECT_EQ(open.c_lflag & (ECHO | ICANON | ISIG), 0u) << "raw while open";
    EXPECT_EQ(open.c_oflag & OPOST, 0u);
    EXPECT_EQ(open.c_cc[VMIN], 0);

    LineSettings line{};
    ASSERT_EQ(serialGetLine(port, &line), 1);
    EXPECT_EQ(line.baudRate, 9600u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.stopBits, 2);
    line = LineSettings{115200, 8, 0, 0};
    ASSERT_EQ(serialSetLine(port, &line), 1);
    LineSettings back{};
    ASSERT_EQ(serialGetLine(port, &back), 1);
    EXPECT_EQ(back.baudRate, 115200u);
    EXPECT_EQ(back.byteSize, 8);
    EXPECT_EQ(back.parity, 0);
    EXPECT_EQ(back.stopBits, 0);
    const LineSettings unknown{123456, 8, 0, 0};
    EXPECT_EQ(serialSetLine(port, &unknown), 0);

    CommTimeouts t{};
    ASSERT_EQ(serialGetTimeouts(port, &t), 1);
    EXPECT_EQ(t.readTotalTimeoutConstant, 10u);
    EXPECT_EQ(t.writeTotalTimeoutConstant, 30u);

    serialClose(port);
    port = nullptr;
    termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), ECHO | ICANON | ISIG);
    EXPECT_EQ(after.c_oflag & OPOST, tcflag_t(OPOST));
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(cfgetospeed(&after), speed_t(B115200));
    EXPECT_EQ(after.c_cflag & CSTOPB, 0u) << "one stop bit, as set";
}

TEST_F(PtyTest, StatusAndQueueOfALineWithoutModemLines) {
    openPort();
    uint32_t status = 99;
    EXPECT_EQ(serialModemStatus(port, &status), 1);
    EXPECT_EQ(status, 0u);
    console({1, 2, 3, 4, 5});
    awaitInput();
    uint32_t errors = 99, inQueue = 0;
    ASSERT_EQ(serialClearErrors(port, &errors, &inQueue), 1);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(inQueue, 5u);
}

class WaitTest : public PtyTest {
protected:
    void SetUp() override {
        PtyTest::SetUp();
        openPort();
        packet = wakeEventCreate();
        ASSERT_NE(packet, nullptr);
        wait = lineWaitCreate();
        ASSERT_NE(wait, nullptr);
    }
    void TearDown() override {
        lineWaitClose(wait);
        wakeEventClose(packet);
        PtyTest::TearDown();
    }
    void arm() {
        uint32_t events = 77, error = 77;
        ASSERT_EQ(serialWaitEvent(port, wait, &events, &error), WaitPending);
    }
    uint32_t waitFor(uint32_t ms) {
        uint32_t error = 0;
        uint32_t r = waitLineOrPacket(wait, packet, clockMs(), ms, &error);
        EXPECT_EQ(error, 0u);
        return r;
    }
    // The same, while another thread does what it is given.
    uint32_t waitFor(uint32_t ms, const std::function<void()>& meanwhile) {
        std::atomic<bool> waiting{false};
        std::thread other([&] {
            while (!waiting) std::this_thread::yield();
            meanwhile();
        });
        waiting = true;
        uint32_t r = waitFor(ms);
        other.join();
        return r;
    }
    // The ended wait's result is one received character; it is read off the line.
    void takeCharacterResult() {
        uint32_t events = 0, error = 0;
        ASSERT_EQ(serialWaitResult(port, wait, &events, &error), 1);
        EXPECT_EQ(events, EvRxChar);
        uint8_t b;
        uint32_t done = 0;
        ASSERT_EQ(serialRead(port, &b, 1, &done), 1);
        ASSERT_EQ(done, 1u);
    }
    WakeEvent* packet = nullptr;
    LineWait* wait = nullptr;
};

TEST_F(WaitTest, LineWaitEndsForCharactersAndMaskChanges) {
    ASSERT_EQ(serialSetMask(port, EvRxChar | EvCts), 1);
    arm();
    auto start = Clock::now();
    EXPECT_EQ(waitFor(15), kWaitTimeout);
    EXPECT_GE(msSince(start), 14.0);

    // Received characters end the wait with EvRxChar.
    console({0xFD});
    start = Clock::now();
    ASSERT_EQ(waitFor(2000), 0u);
    EXPECT_LT(msSince(start), 1000.0);
    takeCharacterResult();
    uint32_t events = 0, error = 0;

    // A mask change from the other thread ends a pending wait with no events.
    arm();
    start = Clock::now();
    ASSERT_EQ(waitFor(2000, [this] { serialSetMask(port, EvCts | EvDsr); }), 0u);
    EXPECT_LT(msSince(start), 1000.0);
    events = 99;
    ASSERT_EQ(serialWaitResult(port, wait, &events, &error), 1);
    EXPECT_EQ(events, 0u);

    // Under a mask without EvRxChar, characters do not end the wait; the mask
    // set before the wait started does not end it either.
    arm();
    console({1, 2});
    awaitInput();
    EXPECT_EQ(waitFor(15), kWaitTimeout);
    EXPECT_EQ(serialWaitResult(port, wait, &events, &error), 0) << "still pending";
}

TEST_F(WaitTest, PacketEventWakesTheWaitAndResets) {
    ASSERT_EQ(serialSetMask(port, EvRxChar | EvCts), 1);
    arm();
    wakeEventSet(packet);
    auto start = Clock::now();
    EXPECT_EQ(waitFor(2000), 1u);
    EXPECT_LT(msSince(start), 1000.0);
    EXPECT_EQ(waitFor(5), kWaitTimeout) << "taken by the wait that reported it";

    // Both signalled: the line event first, packetEvent kept for the next wait.
    console({7});
    awaitInput();
    wakeEventSet(packet);
    EXPECT_EQ(waitFor(2000), 0u);
    EXPECT_EQ(waitFor(2000), 0u) << "the ended wait stays signalled until its result is taken";
    takeCharacterResult();
    arm();
    EXPECT_EQ(waitFor(2000), 1u);
    EXPECT_EQ(waitFor(5), kWaitTimeout);
}

TEST_F(WaitTest, EndWaitsMakesTheResultFailAsClosed) {
    ASSERT_EQ(serialSetMask(port, EvRxChar | EvCts), 1);
    arm();
    ASSERT_EQ(waitFor(5000, [this] { serialEndWaits(port); }), 0u);
    uint32_t events = 0, error = 0;
    EXPECT_EQ(serialWaitResult(port, wait, &events, &error), 0);
    EXPECT_EQ(error, kPortClosedError);

    // Every later wait ends at once the same way.
    arm();
    EXPECT_EQ(waitFor(2000), 0u);
    error = 0;
    EXPECT_EQ(serialWaitResult(port, wait, &events, &error), 0);
    EXPECT_EQ(error, kPortClosedError);
}

TEST_F(WaitTest, ALineThatGoesAwayFailsTheWaitWithItsError) {
    ASSERT_EQ(serialSetMask(port, EvCts | EvDsr), 1);
    arm();
    close(master);
    master = -1;
    auto start = Clock::now();
    ASSERT_EQ(waitFor(2000), 0u);
    EXPECT_LT(msSince(start), 1000.0);
    uint32_t events = 0, error = 0;
    EXPECT_EQ(serialWaitResult(port, wait, &events, &error), 0);
    EXPECT_NE(error, 0u);
    EXPECT_NE(error, kPortClosedError);
    uint8_t buffer[8];
    uint32_t done = 0;
    EXPECT_EQ(serialRead(port, buffer, 8, &done), 0);
    EXPECT_EQ(done, 0u);
}

} // namespace

namespace {

// A driver double: the DSR change count, and a wait that, as the kernel's,
// reports only changes made after it was entered.
std::atomic<uint32_t> driverDsr{0};
std::atomic<bool> driverEnding{false}, secondTurnMayGo{false};
std::atomic<int> watcherTurns{0};
int doubleIcount(int, serial_icounter_struct* counts) {
    *counts = serial_icounter_struct{};
    counts->dsr = int(driverDsr.load());
    return 0;
}
int doubleWaitChange(int) {
    for (const uint32_t entered = driverDsr; driverDsr == entered;) {
        if (driverEnding) {
            errno = EINTR;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}
// The watcher's second turn: DSR turns when the test lets it, before the wait.
void secondTurn() {
    if (++watcherTurns != 2) return;
    while (!secondTurnMayGo) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    driverDsr = 2;
}

// DSR turns while the watcher waits, then after the port thread looked at the
// lines and before the watcher waits again: both turns are reported.
TEST(LineWatcher, AChangeBeforeTheWatcherWaitsAgainIsReported) {
    const LineDriver real = lineDriver;
    lineDriver = LineDriver{doubleIcount, doubleWaitChange, secondTurn};
    SerialPort port;
    port.controlFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port.lines = LinesIcount;
    port.backend = &ttyBackend; // the driver's counts, through the doubles
    lineWatchStart(&port);
    ASSERT_STREQ(serialLineMethod(&port), "waited for (TIOCMIWAIT)");
    ASSERT_EQ(serialSetMask(&port, EvCts | EvDsr), 1);
    LineWait* wait = lineWaitCreate();
    uint32_t events = 0, error = 0;
    driverDsr = 1; // while the watcher waits
    std::thread release;
    for (int turn : {1, 2}) {
        EXPECT_EQ(serialWaitEvent(&port, wait, &events, &error), WaitPending) << turn;
        if (turn == 2) release = std::thread([] { // once this wait has looked at the lines
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            secondTurnMayGo = true;
        });
        // A wait looks at the lines when its time is up too: the turn must come before.
        const uint32_t start = clockMs();
        EXPECT_EQ(waitLineOrPacket(wait, nullptr, start, 1000, &error), 0u) << turn;
        EXPECT_LT(clockMs() - start, 900u) << turn;
        EXPECT_EQ(serialWaitResult(&port, wait, &events, &error), 1) << turn;
        EXPECT_EQ(events, uint32_t(EvDsr)) << turn;
    }
    release.join();
    driverEnding = true;
    lineWatchStop(&port);
    lineWaitClose(wait);
    close(port.controlFd);
    lineDriver = real;
}

// The simulated console is reached by its reserved name, through the same
// calls: its RTS rises about 100 ms after the open, then it sends its C-packet.
TEST(SimulatedConsoleLine, LineEventsStatusAndBytesComeThroughTheDevice) {
    uint32_t error = 0;
    SerialPort* port = serialOpen("sim:hello=0", &error);
    ASSERT_NE(port, nullptr) << error;
    ASSERT_EQ(serialSetTimeouts(port, &kPortTimeouts), 1);
    const LineSettings line{115200, 8, 0, 0};
    EXPECT_EQ(serialSetLine(port, &line), 1);
    LineSettings back{};
    ASSERT_EQ(serialGetLine(port, &back), 1);
    EXPECT_EQ(back.baudRate, 115200u);

    WakeEvent* packet = wakeEventCreate();
    LineWait* wait = lineWaitCreate();
    ASSERT_EQ(serialSetMask(port, EvRxChar | EvCts), 1);
    // The console raises RTS 100 ms after the open: unless this thread was held
    // up that long, the rise comes after the mask and is reported.
    uint32_t status = 99;
    ASSERT_EQ(serialModemStatus(port, &status), 1);
    const bool riseToCome = (status & MsCtsOn) == 0;
    uint32_t seen = 0;
    auto start = Clock::now();
    while (!(seen & EvRxChar) && msSince(start) < 5000) {
        uint32_t events = 0;
        ASSERT_EQ(serialWaitEvent(port, wait, &events, &error), WaitPending);
        ASSERT_EQ(waitLineOrPacket(wait, packet, clockMs(), 5000, &error), 0u) << error;
        ASSERT_EQ(serialWaitResult(port, wait, &events, &error), 1) << error;
        EXPECT_EQ(events & ~(EvCts | EvRxChar), 0u);
        seen |= events;
    }
    EXPECT_TRUE(seen & EvRxChar);
    if (riseToCome) {
        EXPECT_TRUE(seen & EvCts) << "the rise of CTS is reported";
    }
    ASSERT_EQ(serialModemStatus(port, &status), 1);
    EXPECT_EQ(status & MsCtsOn, MsCtsOn);
    uint8_t bytes[8] = {};
    uint32_t done = 0;
    ASSERT_EQ(serialRead(port, bytes, 8, &done), 1);
    EXPECT_EQ(done, 8u);
    EXPECT_EQ(bytes[0], 0xFD);
    EXPECT_EQ(bytes[1], 0x43);

    serialEndWaits(port);
    uint32_t events = 0;
    serialWaitEvent(port, wait, &events, &error);
    EXPECT_EQ(waitLineOrPacket(wait, packet, clockMs(), 1000, &error), 0u);
    EXPECT_EQ(serialWaitResult(port, wait, &events, &error), 0);
    EXPECT_EQ(error, kPortClosedError);
    lineWaitClose(wait);
    wakeEventClose(packet);
    serialClose(port);
}

// The whole way through the device with the console's own clock, loosely
// timed: a handshake and two exchanges of 8-byte packets. The PC may fall
// behind (the console then has more than one packet waiting); the packets
// still come whole and in order.
TEST(SimulatedConsoleLine, HandshakeAndTransferThroughTheDevice) {
    using Bytes = std::vector<uint8_t>;
    auto control = [](uint8_t kind) {
        Bytes p{0xFD, kind, 0x33, 0, 1, 0, 0x44, 0};
        p[7] = simChecksum(p.data(), 7);
        return p;
    };
    auto validControl = [](const Bytes& p, uint8_t kind) {
        return p.size() == 8 && p[0] == 0xFD && p[1] == kind && simChecksum(p.data(), 7) == p[7];
    };
    uint32_t error = 0;
    SerialPort* port = serialOpen("sim:size=8,packets=2,start=1,hello=0,seed=5", &error);
    ASSERT_NE(port, nullptr) << error;
    serialSetTimeouts(port, &kPortTimeouts);
    LineWait* wait = lineWaitCreate();
    ASSERT_NE(wait, nullptr);

    auto next = [&](uint32_t* events) {
        uint32_t err = 0;
        int started = serialWaitEvent(port, wait, events, &err);
        if (started == WaitDone) return true;
        if (started != WaitPending) return false;
        if (waitLineOrPacket(wait, nullptr, clockMs(), 5000, &err) != 0) return false;
        return serialWaitResult(port, wait, events, &err) == 1;
    };
    auto readPacket = [&]() {
        Bytes b(8);
        uint32_t done = 0;
        EXPECT_EQ(serialRead(port, b.data(), 8, &done), 1);
        b.resize(done);
        return b;
    };
    auto writePacket = [&](const Bytes& b) {
        uint32_t done = 0;
        EXPECT_EQ(serialWrite(port, b.data(), uint32_t(b.size()), &done), 1);
        EXPECT_EQ(done, b.size());
    };

    // RTS rises, then the C-packet comes.
    serialSetMask(port, EvRxChar | EvCts);
    uint32_t events = 0, status = 0;
    do {
        ASSERT_TRUE(next(&events));
    } while (events == EvCts);
    EXPECT_TRUE(events & EvRxChar);
    serialModemStatus(port, &status);
    EXPECT_EQ(status, MsCtsOn);
    EXPECT_TRUE(validControl(readPacket(), 'C'));

    writePacket(control('C'));
    ASSERT_TRUE(next(&events));
    EXPECT_EQ(events, EvRxChar);
    EXPECT_TRUE(validControl(readPacket(), 'S')); // 1
    for (int stage = 2; stage < 8; stage += 2) {
        writePacket(control('A'));
        ASSERT_TRUE(next(&events));
        EXPECT_EQ(events, EvRxChar);
        EXPECT_TRUE(validControl(readPacket(), 'A'));
    }
    writePacket(control('A')); // 8
    serialSetMask(port, EvCts | EvDsr);

    // At each DSR change the console's packet waits; the PC reads it, then
    // writes its own.
    for (uint32_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(next(&events));
        EXPECT_EQ(events, EvDsr);
        uint32_t errors = 0, inQueue = 0;
        serialClearErrors(port, &errors, &inQueue);
        EXPECT_GE(inQueue, 8u);
        Bytes expected(8), mine(8);
        simMakeTransferPacket(5, true, 0, i, 2, 8, expected.data());
        EXPECT_EQ(readPacket(), expected) << "packet " << i;
        simMakeTransferPacket(9, false, 0, i, 2, 8, mine.data());
        writePacket(mine);
    }
    serialSetMask(port, EvRxChar | EvCts);
    serialEndWaits(port);
    lineWaitClose(wait);
    serialClose(port);
}

TEST(SimulatedConsoleLine, OptionsNotUnderstoodFailTheOpen) {
    for (const char* name : {"sim:size=1", "sim:bogus=1", "sim:size=10,"}) {
        uint32_t error = 0;
        EXPECT_EQ(serialOpen(name, &error), nullptr) << name;
        EXPECT_EQ(error, uint32_t(EINVAL)) << name;
    }
}

// The devices offered by the Linux front ends, from a /dev and a sysfs of the
// test's own: by group and number; a ttyS with no UART behind it left out.
TEST(SerialDeviceList, GroupsByNumberWithoutEmptyUarts) {
    char root[] = "/tmp/zavik_devices_XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    std::string dev = std::string(root) + "/dev", sys = std::string(root) + "/sys";
    mkdir(dev.c_str(), 0700);
    mkdir(sys.c_str(), 0700);
    auto write = [](const std::string& path, const char* text) {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        std::fputs(text, f);
        std::fclose(f);
    };
    for (const char* name : {"ttyS10", "ttyACM0", "ttyS2", "ttyUSB1", "ttyS1", "ttyUSB0", "tty0",
                             "ttySAC0", "ttyS", "console"}) {
        write(dev + "/" + name, "");
    }
    for (const char* name : {"ttyS1", "ttyS2", "ttyS10"}) mkdir((sys + "/" + name).c_str(), 0700);
    write(sys + "/ttyS1/type", "0\n"); // no UART
    write(sys + "/ttyS2/type", "4\n"); // a 16550A
    // ttyS10: no type to read, kept

    EXPECT_EQ(listSerialDevices(dev.c_str(), sys.c_str()),
              (std::vector<std::string>{dev + "/ttyS2", dev + "/ttyS10", dev + "/ttyUSB0",
                                        dev + "/ttyUSB1", dev + "/ttyACM0"}));
    EXPECT_EQ(listSerialDevices((std::string(root) + "/none").c_str(), sys.c_str()),
              std::vector<std::string>{});
    std::system(("rm -rf " + std::string(root)).c_str());
}

} // namespace
