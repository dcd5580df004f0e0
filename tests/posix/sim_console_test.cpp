// The simulated console driven directly, the test playing the PC's part by
// hand: its packets, its handshake with either role, its DTR-clocked transfer
// exchanges in both orders, its transcript; and once behind the serial device
// layer, as the program reaches it.
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "os/serial_device.h"
#include "serial/posix/sim_console.h"
#include "serial/sim/sim_options.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string tempPath(const char* tag) {
    return std::string(P_tmpdir) + "/zavik_sim_" + tag + "_" + std::to_string(getpid()) + ".log";
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string hexLine(const char* tag, const Bytes& bytes) {
    std::string s = tag;
    char b[4];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof b, " %02X", unsigned(v));
        s += b;
    }
    return s;
}

Bytes control(uint8_t kind, uint8_t byte3, uint8_t byte4, uint8_t byte5) {
    Bytes p{0xFD, kind, 0x33, byte3, byte4, byte5, 0x44, 0};
    p[7] = simChecksum(p.data(), 7);
    return p;
}

Bytes filler(uint32_t size) {
    Bytes p(size, 0);
    p[size - 2] = 4;
    p[size - 1] = 4;
    return p;
}

// A transfer packet as the other console would send it.
Bytes peerPacket(uint32_t index, uint32_t count, uint32_t size) {
    Bytes p(size);
    simMakeTransferPacket(99, false, 5, index, count, size, p.data());
    return p;
}

bool validControl(const Bytes& p, uint8_t kind) {
    return p.size() == 8 && p[0] == 0xFD && p[1] == kind && simChecksum(p.data(), 7) == p[7];
}

// The console's own C-packet, idle and not yet marked as having passed a link.
bool idleControl(const Bytes& p) { return validControl(p, 'C') && p[4] == 0; }

// The PC's side of the line, played by hand.
struct Pc {
    SimConsole* console = nullptr;
    int fd = -1;
    uint32_t dsrSeen = 0;

    ~Pc() { close(); }
    void open(const std::string& name) {
        uint32_t error = 0;
        console = simConsoleOpen(name.c_str(), &fd, &error);
        ASSERT_NE(console, nullptr) << name << " errno " << error;
    }
    void close() {
        if (console != nullptr) simConsoleClose(console);
        if (fd >= 0) ::close(fd);
        console = nullptr;
        fd = -1;
    }
    size_t waiting() const {
        int n = 0;
        ioctl(fd, FIONREAD, &n);
        return size_t(n);
    }
    // Up to n bytes, waiting at most ms for them.
    Bytes take(size_t n, int ms) {
        Bytes got;
        auto start = Clock::now();
        while (got.size() < n) {
            uint8_t b[512];
            ssize_t r = read(fd, b, n - got.size() < sizeof b ? n - got.size() : sizeof b);
            if (r > 0) {
                got.insert(got.end(), b, b + r);
                continue;
            }
            int left = ms - int(msSince(start));
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, left);
        }
        return got;
    }
    // One packet as the console cuts them outside a transfer: 0xFD and seven
    // more bytes, or a single other byte.
    Bytes takePacket(int ms) {
        Bytes p = take(1, ms);
        if (p.size() == 1 && p[0] == 0xFD) {
            Bytes rest = take(7, ms);
            p.insert(p.end(), rest.begin(), rest.end());
        }
        return p;
    }
    void put(const Bytes& bytes) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Waits up to ms for the console's DTR (the PC's DSR) to change.
    bool waitDsr(int ms) {
        auto start = Clock::now();
        for (;;) {
            uint32_t cts, dsr;
            simConsoleLineCounts(console, &cts, &dsr);
            if (dsr != dsrSeen) {
                EXPECT_EQ(dsr, dsrSeen + 1) << "a DTR change was made before the last was answered";
                dsrSeen = dsr;
                return true;
            }
            int left = ms - int(msSince(start));
            if (left <= 0) return false;
            pollfd p{simConsoleLineFd(console), POLLIN, 0};
            if (poll(&p, 1, left) == 1) {
                uint64_t v;
                ssize_t r = read(p.fd, &v, sizeof v);
                (void)r;
            }
        }
    }
};

// Runs a starting console ("sim:size=10,packets=4,start=1,...") through its
// handshake and transfer, with checks on the way; returns the transcript.
std::vector<std::string> runStarter(uint32_t seed, const std::string& log) {
    const uint32_t size = 10, count = 4;
    Pc pc;
    pc.open("sim:size=10,packets=4,start=1,hello=0,seed=" + std::to_string(seed) + ",log=" + log);
    if (pc.console == nullptr) return {};

    // RTS rises before anything is written, with nothing on the line near it.
    uint32_t cts = 0, dsr = 0;
    auto start = Clock::now();
    while (!(simConsoleModem(pc.console) & MsCtsOn) && msSince(start) < 1000) pc.take(1, 5);
    simConsoleLineCounts(pc.console, &cts, &dsr);
    EXPECT_EQ(cts, 1u);
    EXPECT_EQ(dsr, 0u);
    EXPECT_EQ(pc.waiting(), 0u);

    Bytes c = pc.take(8, 1000);
    EXPECT_TRUE(validControl(c, 'C'));
    if (!validControl(c, 'C')) return {};
    EXPECT_EQ(c[4], 0) << "a C-packet that has not passed a link";
    EXPECT_EQ(c[5], 0) << "frame 16";
    EXPECT_TRUE(pc.take(8, 60).empty()) << "hello=0: one C-packet, and no S-packet unheard";

    // The other console's C-packet, marked by its PC, lets the handshake begin.
    pc.put(control('C', 0, 1, 0));
    Bytes s = pc.take(8, 1000);
    EXPECT_TRUE(validControl(s, 'S'));
    EXPECT_EQ(s[3], size - 2);

    // Stage 1 was the S. Junk that is no step (a C-packet, an A-packet with a
    // bad checksum, a stray byte) must not be answered or counted.
    pc.put(control('C', 0, 1, 0));
    Bytes bad = control('A', 0, 1, 0);
    bad[7] ^= 1;
    pc.put(bad);
    pc.put({0x07});
    EXPECT_TRUE(pc.take(8, 60).empty());
    pc.put(control('A', 0, 1, 0));                       // 2
    EXPECT_TRUE(validControl(pc.take(8, 500), 'A'));      // 3
    pc.put({0x01});                                      // 4
    Bytes a5 = pc.take(8, 500);                           // 5
    EXPECT_TRUE(validControl(a5, 'A'));
    EXPECT_EQ(a5[4], 1);
    pc.put(control('S', size - 2, 0, 0));                // 6: an S-packet is a step too
    EXPECT_TRUE(validControl(pc.take(8, 500), 'A'));      // 7
    EXPECT_EQ(simConsoleModem(pc.console) & MsDsrOn, 0u);
    pc.put(control('A', 0, 1, 0));                       // 8: the transfer begins
    auto stage8 = Clock::now();

    // Transfer, packets above 8 bytes: at each DTR change the PC writes first
    // (a filler when nothing came from the other side), then reads.
    const Bytes ours[] = {filler(size), peerPacket(0, 3, size), filler(size),
                          peerPacket(1, 3, size), peerPacket(2, 3, size)};
    std::vector<Bytes> written, got;
    std::vector<double> changes;
    while (pc.waitDsr(200)) {
        changes.push_back(msSince(stage8));
        EXPECT_EQ(pc.waiting(), 0u) << "the console writes only after the PC's packet";
        Bytes mine = written.size() < 5 ? ours[written.size()] : filler(size);
        pc.put(mine);
        written.push_back(mine);
        Bytes p = pc.take(size, 12);
        if (!p.empty()) got.push_back(p);
    }
    Bytes rest = pc.take(64, 50);
    EXPECT_TRUE(rest.empty()) << rest.size() << " bytes after the last exchange";

    EXPECT_EQ(got.size(), count);
    for (uint32_t i = 0; i < got.size(); ++i) {
        const Bytes& p = got[i];
        EXPECT_EQ(p.size(), size);
        if (p.size() != size) continue;
        EXPECT_EQ(simChecksum(p.data(), size - 1), p[size - 1]) << "packet " << i;
        EXPECT_EQ(p[size - 2] & 0x0F, i + 1 == count ? 2 : 0) << "one end marker, on the last";
        Bytes expected(size);
        simMakeTransferPacket(seed, true, 0, i, count, size, expected.data());
        EXPECT_EQ(p, expected);
    }
    // 5 exchanges to trade the packets, one more to collect the console's last.
    EXPECT_EQ(changes.size(), 6u);
    if (changes.size() >= 2) {
        EXPECT_GE(changes.front(), 16.0) << "the PC gets time to switch to line events";
        double mean = (changes.back() - changes.front()) / double(changes.size() - 1);
        EXPECT_GE(mean, 16.0 * 0.9);
        EXPECT_LE(mean, 16.0 * 3);
    }
    pc.close();

    std::vector<std::string> lines = readLines(log);
    std::remove(log.c_str());
    // What was received during the transfer is what the PC wrote, fillers marked.
    std::vector<std::string> expected;
    for (const Bytes& w : written) expected.push_back(hexLine(simIsFiller(w.data(), w.size()) ? "fill" : "rx", w));
    std::vector<std::string> seen, sent;
    bool inTransfer = false;
    for (const std::string& l : lines) {
        if (l == "phase transfer 10") inTransfer = true;
        if (l == "phase control") inTransfer = false;
        if (inTransfer && (l.rfind("rx", 0) == 0 || l.rfind("fill", 0) == 0)) seen.push_back(l);
        if (inTransfer && l.rfind("tx", 0) == 0) sent.push_back(l);
    }
    EXPECT_EQ(seen, expected);
    std::vector<std::string> sentExpected;
    for (const Bytes& p : got) sentExpected.push_back(hexLine("tx", p));
    EXPECT_EQ(sent, sentExpected);
    return lines;
}

// Answers a handshake for an answering console whose C-packets have been read:
// returns the console's four steps.
std::vector<Bytes> answerHandshake(Pc& pc, uint32_t size) {
    std::vector<Bytes> steps;
    pc.put(control('S', uint8_t(size - 2), 0, 0)); // 1
    Bytes p = pc.takePacket(500);
    while (validControl(p, 'C')) p = pc.takePacket(500); // one may have been on its way
    steps.push_back(p);                                  // 2
    pc.put(control('A', 0, 1, 0));                       // 3
    steps.push_back(pc.takePacket(500));                 // 4
    pc.put(control('A', 0, 1, 0));                       // 5
    steps.push_back(pc.takePacket(500));                 // 6
    pc.put({0x01});                                      // 7
    steps.push_back(pc.takePacket(500));                 // 8
    return steps;
}

// The console accepted the handshake: an A-packet to the first step, and the
// one-byte eighth step.
void expectHandshakeDone(const std::vector<Bytes>& steps) {
    EXPECT_TRUE(validControl(steps[0], 'A'));
    EXPECT_EQ(steps[3], Bytes{0x01});
}

TEST(SimConsole, NamesAndOptions) {
    EXPECT_TRUE(simConsoleNamed("sim"));
    EXPECT_TRUE(simConsoleNamed("sim:"));
    EXPECT_TRUE(simConsoleNamed("sim:size=8"));
    EXPECT_FALSE(simConsoleNamed("simx"));
    EXPECT_FALSE(simConsoleNamed("SIM"));
    EXPECT_FALSE(simConsoleNamed("/dev/sim"));
    EXPECT_FALSE(simConsoleNamed("COM1"));
    EXPECT_FALSE(simConsoleNamed(""));

    SimOptions o;
    ASSERT_TRUE(simParseOptions("sim", &o));
    EXPECT_EQ(o.size, 10u);
    EXPECT_EQ(o.packets, 60u);
    EXPECT_EQ(o.frameMs, 16u);
    EXPECT_TRUE(o.starts);
    EXPECT_EQ(o.transfers, 1u);
    EXPECT_EQ(o.silentAfter, 0u);
    EXPECT_EQ(o.pauseMs, 0u);
    EXPECT_EQ(o.helloMs, 1000u);
    EXPECT_FALSE(o.times);
    EXPECT_STREQ(o.logPath, "");

    ASSERT_TRUE(simParseOptions("sim:size=257,packets=100000,frame=20,start=0,transfers=3,"
                                "silent=7,seed=4294967295,hello=0,log=/tmp/a b.log",
                                &o));
    EXPECT_EQ(o.size, 257u);
    EXPECT_EQ(o.packets, 100000u);
    EXPECT_EQ(o.frameMs, 20u);
    EXPECT_FALSE(o.starts);
    EXPECT_EQ(o.transfers, 3u);
    EXPECT_EQ(o.silentAfter, 7u);
    EXPECT_EQ(o.seed, 4294967295u);
    EXPECT_EQ(o.helloMs, 0u);
    EXPECT_STREQ(o.logPath, "/tmp/a b.log");
    ASSERT_TRUE(simParseOptions("sim:size=2", &o));
    EXPECT_EQ(o.size, 2u);
    ASSERT_TRUE(simParseOptions("sim:silent=3,pause=600000,times=1", &o));
    EXPECT_EQ(o.pauseMs, 600000u);
    EXPECT_TRUE(o.times);

    const char* bad[] = {"sim:size=1",       "sim:size=258",     "sim:size=",
                         "sim:size=10x",     "sim:size=-4",      "sim:size",
                         "sim:packets=0",    "sim:frame=17",     "sim:frame=0",
                         "sim:start=2",      "sim:bogus=1",      "sim:,size=10",
                         "sim:size=10,",     "sim:log=",         "sim:seed=4294967296",
                         "sim:hello=60001",  "sim:Size=10",      "sim:size=00000000010",
                         "sim:transfers=10001", "simsize=10",  "sim:pause=600001",
                         "sim:times=2",      "sim:pause=-1"};
    for (const char* name : bad) {
        EXPECT_FALSE(simParseOptions(name, &o)) << name;
        int fd = 5;
        uint32_t error = 0;
        EXPECT_EQ(simConsoleOpen(name, &fd, &error), nullptr) << name;
        EXPECT_EQ(error, uint32_t(EINVAL)) << name;
        EXPECT_EQ(fd, -1);
    }
}

TEST(SimConsole, StarterHandshakeAndLargeTransfer) {
    std::string log = tempPath("starter");
    std::vector<std::string> lines = runStarter(7, log);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "# sim:size=10,packets=4,start=1,hello=0,seed=7,log=" + log);
    EXPECT_EQ(lines[1], "phase control");
    Bytes c(8);
    simMakeCPacket(0, 16, c.data());
    EXPECT_EQ(lines[2], hexLine("tx", c));
    int transfers = 0, controls = 0, fills = 0;
    for (const std::string& l : lines) {
        transfers += l == "phase transfer 10";
        controls += l == "phase control";
        fills += l.rfind("fill", 0) == 0;
    }
    EXPECT_EQ(transfers, 1);
    EXPECT_EQ(controls, 2) << "back out of the transfer once it is over";
    EXPECT_EQ(fills, 3) << "two fillers in the exchanges, one in the collecting one";
    EXPECT_EQ(lines.back(), "phase control");
}

TEST(SimConsole, SameOptionsSameTranscript) {
    std::string log = tempPath("again");
    std::vector<std::string> first = runStarter(11, log);
    std::vector<std::string> second = runStarter(11, log);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, second);
    // The seed is what sets the contents.
    Bytes a(20), b(20);
    simMakeTransferPacket(11, true, 0, 3, 9, 20, a.data());
    simMakeTransferPacket(12, true, 0, 3, 9, 20, b.data());
    EXPECT_NE(a, b);
}

TEST(SimConsole, AnswererSmallTransferWritesBeforeDtr) {
    const uint32_t size = 6, count = 5;
    std::string log = tempPath("answerer");
    Pc pc;
    pc.open("sim:size=30,packets=5,start=0,frame=20,hello=40,seed=3,log=" + log);
    ASSERT_NE(pc.console, nullptr);

    // While idle it repeats its C-packet; it never starts a handshake itself.
    std::vector<double> at;
    auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        Bytes c = pc.take(8, 1000);
        ASSERT_TRUE(validControl(c, 'C'));
        EXPECT_EQ(c[4], 0);
        EXPECT_EQ(c[5], 1) << "frame 20";
        at.push_back(msSince(start));
    }
    EXPECT_GE((at[2] - at[0]) / 2, 40.0 * 0.9);

    // It takes the size from the S-packet, not from its own options.
    std::vector<Bytes> steps = answerHandshake(pc, size);
    ASSERT_TRUE(validControl(steps[0], 'A'));
    EXPECT_EQ(steps[0][4], 1);
    EXPECT_EQ(steps[1], Bytes{0x01});
    EXPECT_TRUE(validControl(steps[2], 'A'));
    EXPECT_EQ(steps[3], Bytes{0x01});
    auto stage8 = Clock::now();

    // Packets of 8 bytes or less: the console's packet is on the line before
    // its DTR changes; the PC reads it, then writes its own (or nothing).
    const Bytes ours[] = {peerPacket(0, 2, size), peerPacket(1, 2, size)};
    std::vector<Bytes> got, written;
    std::vector<double> changes;
    int exchanges = 0;
    while (pc.waitDsr(250)) {
        changes.push_back(msSince(stage8));
        size_t waiting = pc.waiting();
        Bytes p = pc.take(size, 0);
        if (got.size() < count) {
            EXPECT_EQ(waiting, size_t(size)) << "exchange " << exchanges;
            got.push_back(p);
        } else {
            EXPECT_TRUE(p.empty());
        }
        // The other console's packets come late: nothing for the first two.
        if (exchanges >= 2 && written.size() < 2) {
            pc.put(ours[written.size()]);
            written.push_back(ours[written.size()]);
        }
        ++exchanges;
    }
    EXPECT_EQ(got.size(), count);
    for (uint32_t i = 0; i < got.size(); ++i) {
        Bytes expected(size);
        simMakeTransferPacket(3, false, 0, i, count, size, expected.data());
        EXPECT_EQ(got[i], expected) << "packet " << i;
        EXPECT_EQ(got[i][size - 2] & 0x0F, i + 1 == count ? 2 : 0);
    }
    EXPECT_EQ(changes.size(), size_t(count)) << "done once both ends have been seen";
    if (changes.size() >= 2) {
        EXPECT_GE(changes.front(), 20.0);
        double mean = (changes.back() - changes.front()) / double(changes.size() - 1);
        EXPECT_GE(mean, 20.0 * 0.9);
        EXPECT_LE(mean, 20.0 * 3);
    }
    pc.close();

    std::vector<std::string> lines = readLines(log);
    std::remove(log.c_str());
    std::vector<std::string> rx;
    bool inTransfer = false;
    for (const std::string& l : lines) {
        if (l.rfind("phase", 0) == 0) inTransfer = l == "phase transfer 6";
        if (inTransfer && l.rfind("rx", 0) == 0) rx.push_back(l);
    }
    EXPECT_EQ(rx, (std::vector<std::string>{hexLine("rx", ours[0]), hexLine("rx", ours[1])}));
}

TEST(SimConsole, AbandonedHandshakeAndFallingSilent) {
    const uint32_t size = 12;
    Pc pc;
    pc.open("sim:start=0,hello=0,silent=2,packets=10");
    ASSERT_NE(pc.console, nullptr);
    ASSERT_TRUE(validControl(pc.take(8, 1000), 'C'));

    // An A-packet whose byte 4 is not 1 abandons the handshake: the console is
    // idle again and says so with a fresh C-packet; a new S-packet starts anew.
    pc.put(control('S', size - 2, 0, 0));
    ASSERT_TRUE(validControl(pc.take(8, 500), 'A'));
    pc.put(control('A', 0, 0, 0));
    EXPECT_TRUE(idleControl(pc.take(8, 500)));
    expectHandshakeDone(answerHandshake(pc, size));

    // Two packets, then nothing: no byte and no line change.
    int packets = 0;
    while (pc.waitDsr(150)) {
        pc.put(filler(size));
        if (pc.take(size, 10).size() == size) ++packets;
    }
    EXPECT_EQ(packets, 2);
    uint32_t cts, dsr;
    simConsoleLineCounts(pc.console, &cts, &dsr);
    EXPECT_EQ(dsr, 2u);
    EXPECT_EQ(cts, 1u);
    EXPECT_TRUE(pc.take(1, 100).empty());
}

// pause=MS: a console that fell silent is back after MS ms, idle with a fresh
// C-packet, and takes part in a new handshake and a whole transfer without
// falling silent again; times=1 stamps the transcript.
TEST(SimConsole, BackAfterAPause) {
    const uint32_t size = 8, count = 3;
    std::string log = tempPath("pause");
    Pc pc;
    pc.open("sim:start=0,hello=0,silent=2,pause=300,transfers=2,packets=3,times=1,log=" + log);
    ASSERT_NE(pc.console, nullptr);
    ASSERT_TRUE(validControl(pc.take(8, 1000), 'C'));
    answerHandshake(pc, size);

    int packets = 0;
    while (pc.waitDsr(150)) {
        if (pc.take(size, 10).size() == size) ++packets;
        pc.put(peerPacket(uint32_t(packets), 5, size));
    }
    EXPECT_EQ(packets, 2);

    // Back and idle: its C-packet, once (hello=0), then a new handshake. How
    // long it stayed silent is read from the stamped transcript below: the
    // console's clock knows when the silence began, this side does not.
    Bytes c = pc.take(8, 1000);
    EXPECT_TRUE(idleControl(c));
    expectHandshakeDone(answerHandshake(pc, size));
    uint32_t second = 0;
    while (pc.waitDsr(150)) {
        if (pc.take(size, 10).size() == size) ++second;
        if (second > 0 && second <= count) pc.put(peerPacket(second - 1, count, size));
    }
    EXPECT_EQ(second, count) << "the whole second transfer";
    pc.close();

    // Every line but the first is stamped, in order; the two transfers, each
    // back to "phase control", with the pause between the last packet of the
    // first and the C-packet after it.
    std::vector<std::string> lines = readLines(log);
    std::remove(log.c_str());
    ASSERT_GE(lines.size(), 3u);
    double last = -1, lastTx = -1, pause = -1;
    int transfers = 0;
    std::vector<std::string> bare;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t at = lines[i].rfind(" @");
        ASSERT_NE(at, std::string::npos) << lines[i];
        double ms = std::stod(lines[i].substr(at + 2));
        EXPECT_GE(ms, last) << lines[i];
        last = ms;
        std::string text = lines[i].substr(0, at);
        bare.push_back(text);
        if (text == "phase transfer 8") ++transfers;
        if (transfers == 1 && pause < 0 && text == hexLine("tx", c)) pause = ms - lastTx;
        if (transfers == 1 && text.rfind("tx", 0) == 0) lastTx = ms;
    }
    EXPECT_EQ(transfers, 2);
    EXPECT_EQ(std::count(bare.begin(), bare.end(), "phase control"), 3);
    EXPECT_GE(pause, 300.0);
    EXPECT_LE(pause, 300.0 * 3);
}

// No packet leaves before the last one has had its time on the line: at 1200
// baud an 8-byte packet takes 66.7 ms, four frame periods.
TEST(SimConsole, PacesWritesToTheLineSpeed) {
    Pc pc;
    pc.open("sim:hello=1");
    ASSERT_NE(pc.console, nullptr);
    simConsoleSetSpeed(pc.console, 1200);
    std::vector<double> at;
    auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(validControl(pc.take(8, 1000), 'C'));
        at.push_back(msSince(start));
    }
    EXPECT_GE((at[2] - at[0]) / 2, 66.7 * 0.9);
    EXPECT_LE((at[2] - at[0]) / 2, 66.7 * 3);
}

// Behind the serial device layer, as the program opens it.
TEST(SimConsole, ThroughTheSerialDevice) {
    uint32_t error = 0;
    SerialPort* port = serialOpen("sim:size=8,packets=2,start=1,hello=0,seed=5", &error);
    ASSERT_NE(port, nullptr) << error;
    const CommTimeouts timeouts{5, 0, 10, 0, 30};
    serialSetTimeouts(port, &timeouts);
    LineSettings line{115200, 8, 0, 0};
    EXPECT_EQ(serialSetLine(port, &line), 1);
    LineWait* wait = lineWaitCreate();
    ASSERT_NE(wait, nullptr);

    auto next = [&](uint32_t* events) {
        uint32_t err = 0;
        int started = serialWaitEvent(port, wait, events, &err);
        if (started == WaitDone) return true;
        if (started != WaitPending) return false;
        if (waitLineOrPacket(wait, nullptr, 1000, &err) != 0) return false;
        return serialWaitResult(port, wait, events, &err) == 1;
    };
    auto readPacket = [&](uint32_t count) {
        Bytes b(count);
        uint32_t done = 0;
        EXPECT_EQ(serialRead(port, b.data(), count, &done), 1);
        b.resize(done);
        return b;
    };
    auto writePacket = [&](const Bytes& b) {
        uint32_t done = 0;
        EXPECT_EQ(serialWrite(port, b.data(), uint32_t(b.size()), &done), 1);
        EXPECT_EQ(done, b.size());
    };

    serialSetMask(port, EvRxChar | EvCts);
    uint32_t events = 0, status = 0;
    ASSERT_TRUE(next(&events));
    EXPECT_EQ(events, EvCts);
    serialModemStatus(port, &status);
    EXPECT_EQ(status, MsCtsOn);

    ASSERT_TRUE(next(&events));
    EXPECT_EQ(events, EvRxChar);
    Bytes c = readPacket(8);
    EXPECT_TRUE(validControl(c, 'C'));

    writePacket(control('C', 0, 1, 0));
    ASSERT_TRUE(next(&events));
    EXPECT_EQ(events, EvRxChar);
    EXPECT_TRUE(validControl(readPacket(8), 'S')); // 1
    for (int stage = 2; stage < 8; stage += 2) {
        writePacket(control('A', 0, 1, 0));
        ASSERT_TRUE(next(&events));
        EXPECT_EQ(events, EvRxChar);
        EXPECT_TRUE(validControl(readPacket(8), 'A'));
    }
    writePacket(control('A', 0, 1, 0)); // 8
    serialSetMask(port, EvCts | EvDsr);

    // Two exchanges of 8-byte packets, read at the DSR change, then the PC's.
    std::vector<Bytes> got;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(next(&events));
        EXPECT_EQ(events, EvDsr);
        uint32_t errors = 0, inQueue = 0;
        serialClearErrors(port, &errors, &inQueue);
        EXPECT_EQ(inQueue, 8u);
        got.push_back(readPacket(8));
        writePacket(peerPacket(uint32_t(i), 2, 8));
    }
    for (uint32_t i = 0; i < got.size(); ++i) {
        Bytes expected(8);
        simMakeTransferPacket(5, true, 0, i, 2, 8, expected.data());
        EXPECT_EQ(got[i], expected);
    }
    serialSetMask(port, EvRxChar | EvCts);
    serialEndWaits(port);
    lineWaitClose(wait);
    serialClose(port);
}

} // namespace
