// The simulated console's model on a clock of the test's own, the test playing
// the PC's part by hand: its packets, its handshake with either role, its
// DTR-clocked transfer exchanges in both orders, its pacing and its transcript.
// Time passes only when the test lets the console run, so every time below is
// exact.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "serial/sim/sim_console.h"
#include "serial/sim/sim_options.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t ms(uint64_t n) { return n * 1000; }

std::string tempPath(const char* tag) {
    return ::testing::TempDir() + "zavik_sim_" + tag + "_" + std::to_string(getpid()) + ".log";
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

// The console's own transfer packets, each as its seed makes it, with one end
// marker, on the last.
void expectConsolePackets(const std::vector<Bytes>& got, uint32_t seed, bool starts, uint32_t count,
                          uint32_t size) {
    EXPECT_EQ(got.size(), count);
    for (uint32_t i = 0; i < got.size(); ++i) {
        Bytes expected(size);
        simMakeTransferPacket(seed, starts, 0, i, count, size, expected.data());
        EXPECT_EQ(got[i], expected) << "packet " << i;
        EXPECT_EQ(got[i][size - 2] & 0x0F, i + 1 == count ? 2 : 0) << "packet " << i;
    }
}

bool validControl(const Bytes& p, uint8_t kind) {
    return p.size() == 8 && p[0] == 0xFD && p[1] == kind && simChecksum(p.data(), 7) == p[7];
}

// The console's own C-packet, idle and not yet marked as having passed a link.
bool idleControl(const Bytes& p) { return validControl(p, 'C') && p[4] == 0; }

// The PC's side of the line, played by hand, and the clock: the console runs
// only inside run, take and waitDsr, from one thing due to the next.
struct Pc {
    SimConsole* console = nullptr;
    uint64_t now = 0; // microseconds since the open
    Bytes line;       // what the console wrote and the PC has not read
    uint32_t dsrSeen = 0;

    explicit Pc(const std::string& name) {
        SimOptions options;
        EXPECT_TRUE(simParseOptions(name.c_str(), &options)) << name;
        console = simCreate(options, name.c_str(), now);
    }
    ~Pc() { close(); }
    void close() {
        if (console == nullptr) return;
        simEnd(console, now);
        simDestroy(console);
        console = nullptr;
    }
    SimLines lines() const { return simLines(console); }

    // Lets the console run until done() holds (true) or until the clock reads
    // `until` (false).
    bool runUntil(uint64_t until, const std::function<bool()>& done) {
        int standing = 0;
        for (;;) {
            if (done && done()) return true;
            uint64_t next = simStep(console, now);
            uint8_t bytes[1024];
            for (uint32_t n; (n = simTakeOutput(console, bytes, sizeof bytes)) > 0;) {
                line.insert(line.end(), bytes, bytes + n);
            }
            if (done && done()) return true;
            if (next > until) {
                now = until;
                return false;
            }
            if (next <= now && ++standing > 1000) {
                ADD_FAILURE() << "the console keeps stepping without time passing";
                return false;
            }
            if (next > now) {
                standing = 0;
                now = next;
            }
        }
    }
    void run(uint64_t us) { runUntil(now + us, nullptr); }
    // Up to n bytes, waiting at most ms for them.
    Bytes take(size_t n, int ms) {
        runUntil(now + uint64_t(ms) * 1000, [&] { return line.size() >= n; });
        size_t got = std::min(n, line.size());
        Bytes p(line.begin(), line.begin() + long(got));
        line.erase(line.begin(), line.begin() + long(got));
        return p;
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
    void put(const Bytes& bytes) { simReceive(console, bytes.data(), uint32_t(bytes.size()), now); }
    // Waits up to ms for the console's DTR (the PC's DSR) to change.
    bool waitDsr(int ms) {
        if (!runUntil(now + uint64_t(ms) * 1000, [&] { return lines().dtrChanges != dsrSeen; })) {
            return false;
        }
        EXPECT_EQ(lines().dtrChanges, dsrSeen + 1) << "a DTR change was made before the last was answered";
        dsrSeen = lines().dtrChanges;
        return true;
    }
};

// Runs a starting console ("sim:size=10,packets=4,start=1,...") through its
// handshake and transfer, with checks on the way; returns the transcript.
std::vector<std::string> runStarter(uint32_t seed, const std::string& log) {
    const uint32_t size = 10, count = 4;
    Pc pc("sim:size=10,packets=4,start=1,hello=0,seed=" + std::to_string(seed) + ",log=" + log);

    // RTS rises 100 ms after the open with nothing on the line near it; the
    // C-packet follows 100 ms later.
    EXPECT_TRUE(pc.runUntil(ms(1000), [&] { return pc.lines().rts; }));
    EXPECT_EQ(pc.now, ms(100));
    EXPECT_EQ(pc.lines().rtsChanges, 1u);
    EXPECT_EQ(pc.lines().dtrChanges, 0u);
    EXPECT_TRUE(pc.line.empty());

    Bytes c = pc.take(8, 1000);
    EXPECT_EQ(pc.now, ms(200));
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
    pc.put(control('A', 0, 1, 0));                  // 2
    EXPECT_TRUE(validControl(pc.take(8, 500), 'A')); // 3
    pc.put({0x01});                                 // 4
    Bytes a5 = pc.take(8, 500);                      // 5
    EXPECT_TRUE(validControl(a5, 'A'));
    EXPECT_EQ(a5[4], 1);
    pc.put(control('S', size - 2, 0, 0));           // 6: an S-packet is a step too
    EXPECT_TRUE(validControl(pc.take(8, 500), 'A')); // 7
    EXPECT_FALSE(pc.lines().dtr);
    pc.put(control('A', 0, 1, 0));                  // 8: the transfer begins
    const uint64_t stage8 = pc.now;

    // Transfer, packets above 8 bytes: at each DTR change the PC writes first
    // (a filler when nothing came from the other side), then reads.
    const Bytes ours[] = {filler(size), peerPacket(0, 3, size), filler(size),
                          peerPacket(1, 3, size), peerPacket(2, 3, size)};
    std::vector<Bytes> written, got;
    std::vector<uint64_t> changes;
    while (pc.waitDsr(200)) {
        changes.push_back(pc.now - stage8);
        EXPECT_TRUE(pc.line.empty()) << "the console writes only after the PC's packet";
        Bytes mine = written.size() < 5 ? ours[written.size()] : filler(size);
        pc.put(mine);
        written.push_back(mine);
        Bytes p = pc.take(size, 12);
        if (!p.empty()) got.push_back(p);
    }
    EXPECT_TRUE(pc.take(64, 50).empty()) << "nothing after the last exchange";

    expectConsolePackets(got, seed, true, count, size);
    // 5 exchanges to trade the packets, one more to collect the console's last:
    // the first two frame periods after the start, then one a frame period.
    EXPECT_EQ(changes.size(), 6u);
    for (size_t i = 0; i < changes.size(); ++i) EXPECT_EQ(changes[i], ms(32 + 16 * i)) << i;
    pc.close();

    std::vector<std::string> lines = readLines(log);
    std::remove(log.c_str());
    // What was received during the transfer is what the PC wrote, fillers marked.
    std::vector<std::string> expected;
    for (const Bytes& w : written) {
        expected.push_back(hexLine(simIsFiller(w.data(), w.size()) ? "fill" : "rx", w));
    }
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
    for (const char* name : {"sim", "sim:", "sim:size=8"}) EXPECT_TRUE(simConsoleNamed(name)) << name;
    for (const char* name : {"simx", "SIM", "/dev/sim", "COM1", ""}) {
        EXPECT_FALSE(simConsoleNamed(name)) << name;
    }

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
    EXPECT_EQ(o.size2, 0u) << "as size";
    ASSERT_TRUE(simParseOptions("sim:size2=257", &o));
    EXPECT_EQ(o.size2, 257u);
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
                         "sim:times=2",      "sim:pause=-1",     "sim:size2=1",
                         "sim:size2=258"};
    for (const char* name : bad) EXPECT_FALSE(simParseOptions(name, &o)) << name;
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
    Pc pc("sim:size=30,packets=5,start=0,frame=20,hello=40,seed=3,log=" + log);

    // While idle it repeats its C-packet every 40 ms; it never starts a
    // handshake itself.
    std::vector<uint64_t> at;
    for (int i = 0; i < 3; ++i) {
        Bytes c = pc.take(8, 1000);
        ASSERT_TRUE(validControl(c, 'C'));
        EXPECT_EQ(c[4], 0);
        EXPECT_EQ(c[5], 1) << "frame 20";
        at.push_back(pc.now);
    }
    EXPECT_EQ(at[1] - at[0], ms(40));
    EXPECT_EQ(at[2] - at[1], ms(40));

    // It takes the size from the S-packet, not from its own options.
    std::vector<Bytes> steps = answerHandshake(pc, size);
    ASSERT_TRUE(validControl(steps[0], 'A'));
    EXPECT_EQ(steps[0][4], 1);
    EXPECT_EQ(steps[1], Bytes{0x01});
    EXPECT_TRUE(validControl(steps[2], 'A'));
    EXPECT_EQ(steps[3], Bytes{0x01});
    const uint64_t stage8 = pc.now;

    // Packets of 8 bytes or less: the console's packet is on the line before
    // its DTR changes; the PC reads it, then writes its own (or nothing).
    const Bytes ours[] = {peerPacket(0, 2, size), peerPacket(1, 2, size)};
    std::vector<Bytes> got, written;
    std::vector<uint64_t> changes;
    while (pc.waitDsr(250)) {
        changes.push_back(pc.now - stage8);
        const size_t waiting = pc.line.size();
        Bytes p = pc.take(size, 0);
        if (got.size() < count) {
            EXPECT_EQ(waiting, size_t(size)) << "exchange " << changes.size();
            got.push_back(p);
        } else {
            EXPECT_TRUE(p.empty());
        }
        // The other console's packets come late: nothing for the first two.
        if (changes.size() > 2 && written.size() < 2) {
            pc.put(ours[written.size()]);
            written.push_back(ours[written.size()]);
        }
    }
    expectConsolePackets(got, 3, false, count, size);
    // Done once both ends have been seen; the first exchange two frame periods
    // after the start, one a frame period after that, each DTR change once the
    // packet has left the line.
    ASSERT_EQ(changes.size(), size_t(count));
    EXPECT_GT(changes[0], ms(40));
    EXPECT_LT(changes[0], ms(41));
    for (size_t i = 1; i < changes.size(); ++i) EXPECT_EQ(changes[i] - changes[i - 1], ms(20)) << i;
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
    Pc pc("sim:start=0,hello=0,silent=2,packets=10");
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
    EXPECT_EQ(pc.lines().dtrChanges, 2u);
    EXPECT_EQ(pc.lines().rtsChanges, 1u);
    EXPECT_TRUE(pc.take(1, 5000).empty());
}

// pause=MS: a console that fell silent is back after MS ms, idle with a fresh
// C-packet, and takes part in a new handshake and a whole transfer without
// falling silent again; times=1 stamps the transcript.
TEST(SimConsole, BackAfterAPause) {
    const uint32_t size = 8, count = 3;
    std::string log = tempPath("pause");
    Pc pc("sim:start=0,hello=0,silent=2,pause=300,transfers=2,packets=3,times=1,log=" + log);
    ASSERT_TRUE(validControl(pc.take(8, 1000), 'C'));
    answerHandshake(pc, size);

    int packets = 0;
    while (pc.waitDsr(150)) {
        if (pc.take(size, 10).size() == size) ++packets;
        pc.put(peerPacket(uint32_t(packets), 5, size));
    }
    EXPECT_EQ(packets, 2);

    // Back and idle: its C-packet, once (hello=0), then a new handshake.
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
    // first (silent once its DTR change is made, when the packet has left the
    // line) and the C-packet after it.
    std::vector<std::string> lines = readLines(log);
    std::remove(log.c_str());
    ASSERT_GE(lines.size(), 3u);
    double last = -1, lastTx = -1, pause = -1;
    int transfers = 0;
    std::vector<std::string> bare;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t at = lines[i].rfind(" @");
        ASSERT_NE(at, std::string::npos) << lines[i];
        double stamp = std::stod(lines[i].substr(at + 2));
        EXPECT_GE(stamp, last) << lines[i];
        last = stamp;
        std::string text = lines[i].substr(0, at);
        bare.push_back(text);
        if (text == "phase transfer 8") ++transfers;
        if (transfers == 1 && pause < 0 && text == hexLine("tx", c)) pause = stamp - lastTx;
        if (transfers == 1 && text.rfind("tx", 0) == 0) lastTx = stamp;
    }
    EXPECT_EQ(transfers, 2);
    EXPECT_EQ(std::count(bare.begin(), bare.end(), "phase control"), 3);
    EXPECT_GE(pause, 300.0);
    EXPECT_LT(pause, 301.0);
}

// size2=N: a starting console announces size in its first transfer and N in
// the later ones. Here the other side never sends a transfer packet, so each
// transfer ends with the console's 3 s give-up.
TEST(SimConsole, AnnouncesSize2FromItsSecondTransfer) {
    Pc pc("sim:size=10,size2=6,transfers=2,hello=0");
    for (uint32_t size : {10u, 6u}) {
        ASSERT_TRUE(idleControl(pc.takePacket(5000)));
        pc.put(control('C', 0, 1, 0));
        Bytes s = pc.takePacket(500);
        ASSERT_TRUE(validControl(s, 'S'));
        EXPECT_EQ(s[3], size - 2);
        for (int step = 0; step < 3; ++step) {
            pc.put(step == 1 ? Bytes{0x01} : control('A', 0, 1, 0));
            ASSERT_TRUE(validControl(pc.takePacket(500), 'A'));
        }
        pc.put({0x01}); // the eighth step: the transfer begins, and is given up
    }
}

// No packet leaves before the last one has had its time on the line: at 1200
// baud an 8-byte packet (80 bits) takes 66.667 ms, four frame periods.
TEST(SimConsole, PacesWritesToTheLineSpeed) {
    Pc pc("sim:hello=1");
    simSetSpeed(pc.console, 1200);
    std::vector<uint64_t> at;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(validControl(pc.take(8, 1000), 'C'));
        at.push_back(pc.now);
    }
    EXPECT_EQ(at[1] - at[0], 66667u);
    EXPECT_EQ(at[2] - at[1], 66667u);
}

} // namespace
