// The built-in simulated console: a model of a PlayStation on a link cable,
// standing behind the serial device layer under the port name "sim" or
// "sim:<options>". The program talks to it exactly as to a serial port; the
// console runs on a thread of its own at the other end of a stream socket pair
// and has two modem lines of its own (its RTS is the PC's CTS, its DTR the PC's
// DSR), with change counters and an eventfd that is signalled on every change.
//
// Options, comma-separated after "sim:" (all optional):
//   size=N       transfer packet size it announces in its S-packet, 2..257
//                (default 10); above 68 only to try the program's size limit.
//                A console that answers uses the size of the S-packet it got.
//   packets=N    transfer packets it sends in each transfer, 1..100000 (60)
//   frame=16|20  its frame period in ms (16); its C-packet's byte 5 is 1 for 20
//   start=0|1    1: it sends the S-packet once it has heard the other console;
//                0: it answers an S-packet (1)
//   transfers=N  transfers it takes part in, 0..10000 (1); then it keeps quiet
//   silent=N     falls silent once, after the N-th transfer packet it sends in
//                a transfer, 0 = never (0): no more bytes, no more line changes
//   pause=MS     with silent=N: after MS ms of silence it is back, the transfer
//                it fell silent in over for it (it counts as one of its
//                `transfers`), and goes idle at once (step 2), or keeps quiet
//                when no transfer is left; it does not fall silent again.
//                0 = silent for good (0)
//   seed=N       contents of its transfer packets, 0..4294967295 (1)
//   hello=MS     while idle it repeats its C-packet every MS ms until a
//                handshake begins, 0 = once (1000)
//   log=PATH     at close, writes a transcript of everything it sent and
//                received to PATH (no commas in PATH)
//   times=0|1    1: every transcript line but the first ends with " @<ms>",
//                when it was recorded, in ms since the open with three
//                decimals (0)
//
// What it does, in order:
//   1. 100 ms after the open it raises RTS; 100 ms later it goes idle. Nothing
//      is written near the RTS change, so the PC's drain of the line on "RTS
//      high" finds nothing to throw away.
//   2. Idle: it writes its C-packet (FD 43 n 00 00 sel 00 sum, byte 4 = 0,
//      sel = 1 for a 20 ms frame) at once and every `hello` ms. A console that
//      starts waits until it has received a valid C-packet (the other console's,
//      marked by its PC) and then writes its S-packet (FD 53 n size-2 ...).
//      Waiting for the other console keeps the S-packet from going out before
//      the link is up, when the PC's 3 s console time-out would reset it; the
//      repeated C-packet is what a console behind a listening PC needs, since
//      that PC sends what it captured only when it captures the next packet.
//   3. Handshake: eight steps counted over both directions, as each PC counts
//      them. Each step received (a valid S-packet, a valid A-packet with byte 4
//      = 1, or the one-byte packet 01) is answered by one step, so the two
//      consoles alternate and both PCs see the same eight packets in the same
//      order: the starter writes S, A, A, A; the answerer writes A, 01, A, 01.
//      A valid A-packet with another byte 4 abandons the handshake (back to
//      idle). C-packets and packets with a bad checksum are not steps. The
//      transfer begins with the eighth step: for the starter when it receives
//      it, for the answerer when it has written it.
//   4. Transfer of `size`-byte packets: the first exchange comes two frame
//      periods after the start (time for the PC to read the last step and
//      switch to line events), then one per frame period. Each exchange toggles
//      DTR. With size 8 or less the console writes its packet first and toggles
//      DTR once the bytes are on the line (the PC reads, then writes). With a
//      larger size it toggles DTR first, and writes its own packet as soon as
//      it has received the PC's packet of that exchange (the PC writes a
//      packet or a filler, then reads what waits; a packet that comes in after
//      that look is read at the next exchange). Its packets are
//      simMakeTransferPacket's: contents from seed, role, transfer and index,
//      flags low nibble 2 on the last one only, checksum last. It keeps
//      exchanging until it has sent all its packets and received a valid
//      end-marked packet; with a size above 8 it then toggles DTR once more, so
//      that its PC collects a last packet still waiting, without writing
//      anything. 3 s without a valid data packet from the other console
//      abandons the transfer (fillers do not count).
//   5. After a transfer it waits 30 frame periods, then goes idle again (step
//      2) or, after `transfers` transfers, keeps quiet.
// Control packets are written at most one per frame period; no write starts
// before the previous one has left the line at the speed the PC set
// (simConsoleSetSpeed; 115200 until it is set), i.e. 10 bits per byte.
//
// Received bytes are cut into packets as the console sees them: outside a
// transfer a byte 0xFD starts an 8-byte packet and any other byte is a one-byte
// packet (an incomplete packet is recorded as such after 100 ms of silence);
// during a transfer every `size` bytes are a packet. The transcript (log=) has
// one line per packet, in the order the console saw them:
//   "# <port name>"            the options it ran with
//   "phase control"            outside a transfer (also the first line after #)
//   "phase transfer <size>"    a transfer begins
//   "tx <hex bytes>"           a packet it wrote
//   "rx <hex bytes>"           a packet it received
//   "fill <hex bytes>"         a filler it received (zeros, then 04 04)
//   "part <hex bytes>"         bytes that did not make a whole packet
//   "dropped <n>"              records lost because the record buffer filled
// Hex bytes are upper-case pairs separated by single spaces. With times=1 the
// lines but "#" and "dropped" end with " @<ms>" (e.g. "tx 01 @1234.567"); a
// packet received is stamped when its last byte came in.
//
// Left out, to keep it simple: it never drops RTS to ask for a packet again
// (RTS stays high from step 1 to the close), so the PC's re-queue on an RTS
// drop is not exercised by it; it never sends a packet with a bad checksum of
// its own accord; it does not check what it receives during a transfer beyond
// checksum, end marker and filler, and asks for nothing again; bytes from the
// PC arrive at once (only its own writes take line time); the only things that
// end a handshake early are an abandoning A-packet and 3 s without a step.
// With silent=N and packets above 8 bytes, its N-th packet stays in the PC's
// input queue, since no DTR change comes to have it read.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "os/serial_device.h"
#include "serial/posix/sim_console.h"
#include "serial/sim/sim_options.h"

namespace {

constexpr uint64_t kSettleUs = 100000;       // open to RTS high, RTS high to idle
constexpr uint64_t kGiveUpUs = 3000000;      // a silent other side
constexpr uint64_t kPartUs = 100000;         // an incomplete packet outside a transfer
constexpr uint32_t kPauseFrames = 30;        // after a transfer
constexpr size_t kRecordBytes = 512 * 1024;  // transcript records
constexpr size_t kRxBytes = 2 * kSimMaxSize; // cutting received bytes into packets
constexpr uint32_t kDefaultBaud = 115200;
constexpr size_t kRecordHead = 7;            // kind, length (2), time in us (4)

enum Phase { Settle, Idle, Handshake, Transfer, Pause, Quiet, Silent };

enum RecordKind : uint8_t { RecControl, RecTransfer, RecTx, RecRx, RecFill, RecPart };

uint64_t monoUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// Parses a whole decimal number of at most maxValue.
bool parseNumber(const char* text, size_t length, uint64_t maxValue, uint64_t* value) {
    if (length == 0 || length > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + uint64_t(text[i] - '0');
    }
    if (v > maxValue) return false;
    *value = v;
    return true;
}

bool keyIs(const char* key, size_t length, const char* name) {
    return strlen(name) == length && memcmp(key, name, length) == 0;
}

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

} // namespace

bool simParseOptions(const char* name, SimOptions* options) {
    SimOptions o;
    o.size = 10;
    o.packets = 60;
    o.frameMs = 16;
    o.starts = true;
    o.transfers = 1;
    o.silentAfter = 0;
    o.pauseMs = 0;
    o.seed = 1;
    o.helloMs = 1000;
    o.times = false;
    o.logPath[0] = '\0';
    if (name == nullptr || strncmp(name, "sim", 3) != 0) return false;
    const char* p = name + 3;
    if (*p == '\0') {
        *options = o;
        return true;
    }
    if (*p != ':') return false;
    ++p;
    if (*p == '\0') {
        *options = o;
        return true;
    }
    for (;;) {
        const char* end = strchr(p, ',');
        size_t itemLength = end != nullptr ? size_t(end - p) : strlen(p);
        const char* eq = static_cast<const char*>(memchr(p, '=', itemLength));
        if (eq == nullptr) return false;
        size_t keyLength = size_t(eq - p);
        const char* value = eq + 1;
        size_t valueLength = itemLength - keyLength - 1;
        uint64_t v = 0;
        if (keyIs(p, keyLength, "log")) {
            if (valueLength == 0 || valueLength >= sizeof o.logPath) return false;
            memcpy(o.logPath, value, valueLength);
            o.logPath[valueLength] = '\0';
        } else if (keyIs(p, keyLength, "size")) {
            if (!parseNumber(value, valueLength, kSimMaxSize, &v) || v < 2) return false;
            o.size = uint32_t(v);
        } else if (keyIs(p, keyLength, "packets")) {
            if (!parseNumber(value, valueLength, 100000, &v) || v < 1) return false;
            o.packets = uint32_t(v);
        } else if (keyIs(p, keyLength, "frame")) {
            if (!parseNumber(value, valueLength, 20, &v) || (v != 16 && v != 20)) return false;
            o.frameMs = uint32_t(v);
        } else if (keyIs(p, keyLength, "start")) {
            if (!parseNumber(value, valueLength, 1, &v)) return false;
            o.starts = v == 1;
        } else if (keyIs(p, keyLength, "transfers")) {
            if (!parseNumber(value, valueLength, 10000, &v)) return false;
            o.transfers = uint32_t(v);
        } else if (keyIs(p, keyLength, "silent")) {
            if (!parseNumber(value, valueLength, 100000, &v)) return false;
            o.silentAfter = uint32_t(v);
        } else if (keyIs(p, keyLength, "pause")) {
            if (!parseNumber(value, valueLength, 600000, &v)) return false;
            o.pauseMs = uint32_t(v);
        } else if (keyIs(p, keyLength, "times")) {
            if (!parseNumber(value, valueLength, 1, &v)) return false;
            o.times = v == 1;
        } else if (keyIs(p, keyLength, "seed")) {
            if (!parseNumber(value, valueLength, 0xFFFFFFFFu, &v)) return false;
            o.seed = uint32_t(v);
        } else if (keyIs(p, keyLength, "hello")) {
            if (!parseNumber(value, valueLength, 60000, &v)) return false;
            o.helloMs = uint32_t(v);
        } else {
            return false;
        }
        if (end == nullptr) break;
        p = end + 1;
    }
    *options = o;
    return true;
}

uint8_t simChecksum(const uint8_t* bytes, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return uint8_t(sum);
}

namespace {
void makeControl(uint8_t kind, uint8_t counter, uint8_t byte3, uint8_t byte4, uint8_t byte5,
                 uint8_t* out) {
    out[0] = 0xFD;
    out[1] = kind;
    out[2] = counter;
    out[3] = byte3;
    out[4] = byte4;
    out[5] = byte5;
    out[6] = 0;
    out[7] = simChecksum(out, 7);
}
} // namespace

void simMakeCPacket(uint8_t counter, uint32_t frameMs, uint8_t* out) {
    makeControl('C', counter, 0, 0, frameMs == 20 ? 1 : 0, out);
}

void simMakeSPacket(uint8_t counter, uint32_t size, uint8_t* out) {
    makeControl('S', counter, uint8_t(size - 2), 0, 0, out);
}

void simMakeAPacket(uint8_t counter, uint8_t byte4, uint8_t* out) {
    makeControl('A', counter, 0, byte4, 0, out);
}

void simMakeTransferPacket(uint32_t seed, bool starts, uint32_t transfer, uint32_t index,
                           uint32_t count, uint32_t size, uint8_t* out) {
    uint32_t state = mix(seed ^ (starts ? 0x9E3779B9u : 0x7F4A7C15u)) ^ mix(transfer + 0x1000u) ^
                     mix(index * 0x85EBCA6Bu + 1u);
    for (uint32_t i = 0; i + 2 < size; ++i) {
        state = mix(state + 0x6D2B79F5u);
        out[i] = uint8_t(state >> 8);
    }
    state = mix(state + 0x6D2B79F5u);
    // The high nibble of the flags is not looked at by the link: let it vary.
    out[size - 2] = uint8_t((state >> 12) & 0xF0) | (index + 1 == count ? 0x02 : 0x00);
    out[size - 1] = simChecksum(out, size - 1);
}

bool simIsFiller(const uint8_t* bytes, size_t count) {
    if (count < 2 || bytes[count - 2] != 4 || bytes[count - 1] != 4) return false;
    for (size_t i = 0; i + 2 < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

struct SimConsole {
    SimOptions options{};
    char name[512]{};
    int fd = -1;     // the console's end of the line
    int lineFd = -1; // eventfd: a line changed
    int stopFd = -1; // eventfd: close
    pthread_t thread{};
    std::atomic<uint32_t> modem{0};
    std::atomic<uint32_t> ctsChanges{0};
    std::atomic<uint32_t> dsrChanges{0};
    std::atomic<uint32_t> baud{kDefaultBaud};

    // Everything below belongs to the console's thread (and to the close, once
    // the thread has been joined).
    Phase phase = Settle;
    uint64_t started = 0;
    bool rts = false;
    bool dtr = false;
    uint64_t lineFree = 0;      // the last write has left the line
    uint64_t lastControl = 0;   // time of the last control write
    bool wroteControl = false;
    uint8_t pending[8]{};       // the control packet waiting for its time
    uint32_t pendingLength = 0;
    bool pendingIsStep = false; // a handshake step (S, A or 01)
    uint8_t counter = 0;        // byte 2 of its control packets

    bool heardHello = false;    // a valid C-packet came in while idle
    uint64_t helloNext = 0;
    uint32_t hellosThisIdle = 0;

    bool startedHandshake = false; // this console wrote the S-packet
    uint32_t stage = 0;
    uint64_t lastStep = 0;

    uint32_t size = 0;          // transfer packet size in use
    uint32_t transfersDone = 0;
    uint64_t nextExchange = 0;
    bool dtrPending = false;    // size <= 8: toggle once the packet has left
    uint64_t dtrAt = 0;
    uint32_t sent = 0;
    bool peerDone = false;
    bool awaiting = false;      // size > 8: toggled, the PC's packet not yet in
    int closing = 0;            // 1: the last exchange is due; 2: a collecting toggle was made
    uint64_t lastPeerData = 0;
    uint64_t pauseEnd = 0;
    uint64_t silentEnd = 0;     // pause=MS: when a silent console is back
    bool wasSilent = false;     // it falls silent once
    bool cutTransfer = false;   // received bytes are cut at `size`
    uint8_t packet[kSimMaxSize]{};

    uint8_t rx[kRxBytes]{};
    uint32_t rxLength = 0;
    uint64_t lastRx = 0;
    bool lineOpen = true;       // the PC's end is still open

    uint8_t* record = nullptr;
    size_t recordUsed = 0;
    uint32_t recordDropped = 0;
};

namespace {

void addRecord(SimConsole* c, RecordKind kind, const uint8_t* bytes, uint32_t length) {
    if (c->recordUsed + kRecordHead + length > kRecordBytes) {
        ++c->recordDropped;
        return;
    }
    uint8_t* p = c->record + c->recordUsed;
    const uint32_t at = uint32_t(monoUs() - c->started); // wraps after 71 minutes
    p[0] = kind;
    p[1] = uint8_t(length);
    p[2] = uint8_t(length >> 8);
    for (int i = 0; i < 4; ++i) p[3 + i] = uint8_t(at >> (8 * i));
    if (length > 0 && bytes != nullptr) memcpy(p + kRecordHead, bytes, length);
    c->recordUsed += kRecordHead + length;
}

void markPhase(SimConsole* c, RecordKind kind, uint32_t size) {
    uint8_t b[2] = {uint8_t(size), uint8_t(size >> 8)};
    addRecord(c, kind, b, kind == RecTransfer ? 2 : 0);
}

void writeTranscript(SimConsole* c) {
    if (c->options.logPath[0] == '\0') return;
    FILE* f = fopen(c->options.logPath, "w");
    if (f == nullptr) return;
    fprintf(f, "# %s\n", c->name);
    size_t at = 0;
    while (at + kRecordHead <= c->recordUsed) {
        const uint8_t* p = c->record + at;
        uint32_t length = uint32_t(p[1]) | uint32_t(p[2]) << 8;
        uint32_t us = 0;
        for (int i = 0; i < 4; ++i) us |= uint32_t(p[3 + i]) << (8 * i);
        const uint8_t* bytes = p + kRecordHead;
        switch (p[0]) {
        case RecControl: fputs("phase control", f); break;
        case RecTransfer:
            fprintf(f, "phase transfer %u", unsigned(bytes[0]) | unsigned(bytes[1]) << 8);
            break;
        default: {
            const char* tag = p[0] == RecTx ? "tx" : p[0] == RecRx ? "rx" : p[0] == RecFill ? "fill" : "part";
            fputs(tag, f);
            for (uint32_t i = 0; i < length; ++i) fprintf(f, " %02X", unsigned(bytes[i]));
            break;
        }
        }
        if (c->options.times) fprintf(f, " @%u.%03u", unsigned(us / 1000u), unsigned(us % 1000u));
        fputc('\n', f);
        at += kRecordHead + length;
    }
    if (c->recordDropped != 0) fprintf(f, "dropped %u\n", unsigned(c->recordDropped));
    fclose(f);
}

void setLine(SimConsole* c, bool isRts, bool high) {
    if (isRts) {
        if (c->rts == high) return;
        c->rts = high;
    } else {
        if (c->dtr == high) return;
        c->dtr = high;
    }
    c->modem.store((c->rts ? MsCtsOn : 0u) | (c->dtr ? MsDsrOn : 0u));
    if (isRts) {
        c->ctsChanges.fetch_add(1);
    } else {
        c->dsrChanges.fetch_add(1);
    }
    uint64_t one = 1;
    ssize_t r = write(c->lineFd, &one, sizeof one);
    (void)r;
}

uint64_t lineTimeUs(SimConsole* c, uint32_t bytes) {
    uint32_t baud = c->baud.load();
    if (baud == 0) baud = kDefaultBaud;
    return (uint64_t(bytes) * 10u * 1000000u + baud - 1) / baud;
}

// Writes bytes to the PC at once; they occupy the line for their time.
void writeLine(SimConsole* c, const uint8_t* bytes, uint32_t length, uint64_t now) {
    uint32_t done = 0;
    while (c->lineOpen && done < length) {
        ssize_t r = send(c->fd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            done += uint32_t(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break; // the PC does not read (its queue is full) or has gone: bytes are lost
        }
    }
    addRecord(c, RecTx, bytes, done);
    c->lineFree = (c->lineFree > now ? c->lineFree : now) + lineTimeUs(c, length);
}

uint64_t frameUs(SimConsole* c) { return uint64_t(c->options.frameMs) * 1000u; }

void enterIdle(SimConsole* c, uint64_t now) {
    c->phase = Idle;
    c->helloNext = now;
    c->hellosThisIdle = 0;
    c->stage = 0;
}

void queueControl(SimConsole* c, const uint8_t* bytes, uint32_t length, bool isStep) {
    memcpy(c->pending, bytes, length);
    c->pendingLength = length;
    c->pendingIsStep = isStep;
}

void flushPartial(SimConsole* c) {
    if (c->rxLength > 0) addRecord(c, RecPart, c->rx, c->rxLength);
    c->rxLength = 0;
}

void startTransfer(SimConsole* c, uint64_t now) {
    c->phase = Transfer;
    c->cutTransfer = true;
    markPhase(c, RecTransfer, c->size);
    c->sent = 0;
    c->peerDone = false;
    c->awaiting = false;
    c->closing = 0;
    c->dtrPending = false;
    c->nextExchange = now + 2 * frameUs(c);
    c->lastPeerData = now;
}

void endTransfer(SimConsole* c, uint64_t now) {
    flushPartial(c);
    c->cutTransfer = false;
    c->dtrPending = false;
    c->awaiting = false;
    markPhase(c, RecControl, 0);
    ++c->transfersDone;
    c->heardHello = false;
    c->phase = Pause;
    c->pauseEnd = now + kPauseFrames * frameUs(c);
}

void checkDone(SimConsole* c) {
    if (c->phase == Transfer && c->closing == 0 && c->sent >= c->options.packets && c->peerDone) {
        c->closing = 1;
    }
}

void writeTransferPacket(SimConsole* c, uint64_t now) {
    simMakeTransferPacket(c->options.seed, c->startedHandshake, c->transfersDone, c->sent,
                          c->options.packets, c->size, c->packet);
    writeLine(c, c->packet, c->size, now);
    ++c->sent;
}

void fallSilentIfDue(SimConsole* c, uint64_t now) {
    if (c->options.silentAfter != 0 && !c->wasSilent && c->sent >= c->options.silentAfter) {
        c->wasSilent = true;
        c->phase = Silent;
        c->dtrPending = false;
        c->awaiting = false;
        c->silentEnd = now + uint64_t(c->options.pauseMs) * 1000u;
    }
}

// A step of the handshake came in: counted, and answered by a step of ours
// unless one is still waiting to go out. The console's own steps are counted
// when they are written, so its count follows the order in which its PC sees
// the packets.
void onStepReceived(SimConsole* c, uint64_t now) {
    ++c->stage;
    c->lastStep = now;
    if (c->stage >= 8) {
        c->pendingLength = 0;
        startTransfer(c, now);
        return;
    }
    if (c->pendingLength != 0) return;
    uint8_t bytes[8];
    if (!c->startedHandshake && (c->stage + 1) % 4 == 0) {
        bytes[0] = 0x01;
        queueControl(c, bytes, 1, true);
    } else {
        simMakeAPacket(c->counter, 1, bytes);
        queueControl(c, bytes, 8, true);
    }
}

void onControlPacket(SimConsole* c, const uint8_t* p, uint32_t length, uint64_t now) {
    addRecord(c, RecRx, p, length);
    if (length == 1) {
        if (p[0] == 0x01 && c->phase == Handshake) onStepReceived(c, now);
        return;
    }
    if (length != 8 || p[0] != 0xFD || simChecksum(p, 7) != p[7]) return;
    switch (p[1]) {
    case 'C':
        if (c->phase == Settle || c->phase == Idle || c->phase == Pause) c->heardHello = true;
        break;
    case 'S':
        if (c->phase == Idle && c->transfersDone < c->options.transfers) {
            c->pendingLength = 0; // a C-packet not yet written is dropped
            c->phase = Handshake;
            c->startedHandshake = false;
            c->stage = 0;
            c->size = uint32_t(p[3]) + 2;
            onStepReceived(c, now);
        } else if (c->phase == Handshake) {
            c->size = uint32_t(p[3]) + 2;
            onStepReceived(c, now);
        }
        break;
    case 'A':
        if (c->phase != Handshake) break;
        if (p[4] == 1) {
            onStepReceived(c, now);
        } else {
            c->pendingLength = 0;
            enterIdle(c, now);
        }
        break;
    default:
        break;
    }
}

void onTransferPacket(SimConsole* c, const uint8_t* p, uint32_t length, uint64_t now) {
    if (simIsFiller(p, length)) {
        addRecord(c, RecFill, p, length);
    } else {
        addRecord(c, RecRx, p, length);
        if (length >= 2 && simChecksum(p, length - 1) == p[length - 1]) {
            c->lastPeerData = now;
            if ((p[length - 2] & 0x0F) == 0x02) c->peerDone = true;
        }
    }
    if (c->phase != Transfer) return;
    if (c->size > 8 && c->awaiting) {
        c->awaiting = false;
        if (c->closing == 0 && c->sent < c->options.packets) {
            writeTransferPacket(c, now);
            fallSilentIfDue(c, now);
        }
    }
    checkDone(c);
}

// Cuts what has come in into packets.
void takeReceived(SimConsole* c, uint64_t now) {
    for (;;) {
        uint32_t length;
        if (c->cutTransfer) {
            if (c->rxLength < c->size) return;
            length = c->size;
        } else if (c->rxLength == 0) {
            return;
        } else if (c->rx[0] == 0xFD) {
            if (c->rxLength < 8) return;
            length = 8;
        } else {
            length = 1;
        }
        uint8_t p[kSimMaxSize];
        memcpy(p, c->rx, length);
        c->rxLength -= length;
        memmove(c->rx, c->rx + length, c->rxLength);
        if (c->cutTransfer) {
            onTransferPacket(c, p, length, now);
        } else {
            onControlPacket(c, p, length, now);
        }
    }
}

void readLine(SimConsole* c, uint64_t now) {
    while (c->lineOpen) {
        if (c->rxLength == kRxBytes) {
            // Nothing in the line's cutting rules keeps this many bytes.
            flushPartial(c);
        }
        ssize_t r = recv(c->fd, c->rx + c->rxLength, kRxBytes - c->rxLength, MSG_DONTWAIT);
        if (r > 0) {
            c->rxLength += uint32_t(r);
            c->lastRx = now;
            takeReceived(c, now);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && errno == EAGAIN) {
            return;
        } else {
            c->lineOpen = false; // the PC closed its end
        }
    }
}

// One exchange of the transfer, due now.
void exchange(SimConsole* c, uint64_t now) {
    c->nextExchange += frameUs(c);
    if (c->nextExchange <= now) c->nextExchange = now + frameUs(c);
    if (c->closing == 2 || (c->closing == 1 && c->size <= 8)) {
        endTransfer(c, now);
        return;
    }
    if (c->closing == 1) {
        // Lets the PC collect a packet of ours that came in after its look.
        c->awaiting = false;
        setLine(c, false, !c->dtr);
        c->closing = 2;
        return;
    }
    if (c->size <= 8) {
        if (c->sent < c->options.packets) {
            writeTransferPacket(c, now);
            c->dtrPending = true;
            c->dtrAt = c->lineFree;
            checkDone(c);
        } else {
            setLine(c, false, !c->dtr);
        }
    } else {
        setLine(c, false, !c->dtr);
        c->awaiting = true;
    }
}

// Does whatever is due at `now`; returns when something is due next.
uint64_t step(SimConsole* c, uint64_t now) {
    uint64_t next = now + 1000000;
    auto due = [&](uint64_t t) {
        if (t < next) next = t;
    };

    if (!c->cutTransfer && c->rxLength > 0) {
        if (now - c->lastRx >= kPartUs) {
            flushPartial(c);
        } else {
            due(c->lastRx + kPartUs);
        }
    }

    switch (c->phase) {
    case Settle:
        if (!c->rts) {
            if (now >= c->started + kSettleUs) {
                setLine(c, true, true);
            } else {
                due(c->started + kSettleUs);
            }
        }
        if (c->rts) {
            if (now >= c->started + 2 * kSettleUs) {
                enterIdle(c, now);
                due(now);
            } else {
                due(c->started + 2 * kSettleUs);
            }
        }
        break;
    case Idle:
        if (c->pendingLength == 0) {
            uint8_t bytes[8];
            if (now >= c->helloNext && (c->options.helloMs != 0 || c->hellosThisIdle == 0)) {
                simMakeCPacket(c->counter, c->options.frameMs, bytes);
                queueControl(c, bytes, 8, false);
                ++c->hellosThisIdle;
                c->helloNext = now + uint64_t(c->options.helloMs) * 1000u;
            } else if (c->options.starts && c->heardHello &&
                       c->transfersDone < c->options.transfers) {
                c->phase = Handshake;
                c->startedHandshake = true;
                c->heardHello = false;
                c->size = c->options.size;
                c->stage = 0;
                c->lastStep = now;
                simMakeSPacket(c->counter, c->size, bytes);
                queueControl(c, bytes, 8, true);
            }
        }
        // (While a packet waits for its time, that time is what is due.)
        if (c->phase == Idle && c->pendingLength == 0 && c->options.helloMs != 0) {
            due(c->helloNext);
        }
        break;
    case Handshake:
        if (c->pendingLength != 0) break;
        if (now - c->lastStep >= kGiveUpUs) {
            enterIdle(c, now);
            due(now);
        } else {
            due(c->lastStep + kGiveUpUs);
        }
        break;
    case Transfer:
        if (c->dtrPending) {
            if (now >= c->dtrAt) {
                c->dtrPending = false;
                setLine(c, false, !c->dtr);
                fallSilentIfDue(c, now);
            } else {
                due(c->dtrAt);
            }
        }
        if (c->phase != Transfer) break;
        if (now - c->lastPeerData >= kGiveUpUs) {
            endTransfer(c, now);
            due(now);
            break;
        }
        due(c->lastPeerData + kGiveUpUs);
        if (!c->dtrPending) {
            uint64_t at = c->nextExchange > c->lineFree ? c->nextExchange : c->lineFree;
            if (now >= at) {
                exchange(c, now);
                due(now);
            } else {
                due(at);
            }
        }
        break;
    case Pause:
        if (now >= c->pauseEnd) {
            if (c->transfersDone < c->options.transfers) {
                enterIdle(c, now);
            } else {
                c->phase = Quiet;
            }
            due(now);
        } else {
            due(c->pauseEnd);
        }
        break;
    case Silent:
        if (c->options.pauseMs == 0) break;
        if (now >= c->silentEnd) {
            // Back: the transfer is over for it, and no pause follows.
            endTransfer(c, now);
            c->pauseEnd = now;
            due(now);
        } else {
            due(c->silentEnd);
        }
        break;
    case Quiet:
        break;
    }

    if (c->pendingLength != 0) {
        uint64_t at = c->lineFree;
        if (c->wroteControl && c->lastControl + frameUs(c) > at) at = c->lastControl + frameUs(c);
        if (now >= at) {
            writeLine(c, c->pending, c->pendingLength, now);
            c->lastControl = now;
            c->wroteControl = true;
            if (c->pendingLength == 8) ++c->counter;
            c->pendingLength = 0;
            if (c->pendingIsStep && c->phase == Handshake) {
                c->lastStep = now;
                if (++c->stage >= 8) startTransfer(c, now);
            }
            due(now);
        } else {
            due(at);
        }
    }
    return next;
}

void* consoleMain(void* arg) {
    SimConsole* c = static_cast<SimConsole*>(arg);
    c->started = monoUs();
    markPhase(c, RecControl, 0);
    for (;;) {
        uint64_t now = monoUs();
        uint64_t next = step(c, now);
        now = monoUs();
        uint64_t waitUs = next > now ? next - now : 0;
        timespec ts{time_t(waitUs / 1000000u), long(waitUs % 1000000u) * 1000L};
        // Once the PC has closed its end, only the stop is waited for.
        pollfd fds[2] = {{c->stopFd, POLLIN, 0}, {c->lineOpen ? c->fd : -1, POLLIN, 0}};
        int n = ppoll(fds, 2, &ts, nullptr);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) readLine(c, monoUs());
    }
    flushPartial(c);
    return nullptr;
}

void closeFd(int fd) {
    if (fd >= 0) close(fd);
}

} // namespace

bool simConsoleNamed(const char* name) {
    return name != nullptr && strncmp(name, "sim", 3) == 0 && (name[3] == '\0' || name[3] == ':');
}

SimConsole* simConsoleOpen(const char* name, int* fd, uint32_t* error) {
    *fd = -1;
    *error = 0;
    SimOptions options;
    if (!simConsoleNamed(name) || !simParseOptions(name, &options)) {
        *error = EINVAL;
        return nullptr;
    }
    SimConsole* c = new (std::nothrow) SimConsole;
    uint8_t* record = new (std::nothrow) uint8_t[kRecordBytes];
    if (c == nullptr || record == nullptr) {
        delete c;
        delete[] record;
        *error = ENOMEM;
        return nullptr;
    }
    c->options = options;
    c->record = record;
    snprintf(c->name, sizeof c->name, "%s", name);

    int pair[2] = {-1, -1};
    int failure = 0;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        failure = errno;
    } else if (fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK) != 0 ||
               fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK) != 0) {
        failure = errno;
    } else if ((c->lineFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0 ||
               (c->stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0) {
        failure = errno;
    } else {
        c->fd = pair[1];
        int r = pthread_create(&c->thread, nullptr, consoleMain, c);
        if (r != 0) failure = r;
    }
    if (failure != 0) {
        closeFd(pair[0]);
        closeFd(pair[1]);
        closeFd(c->lineFd);
        closeFd(c->stopFd);
        delete[] c->record;
        delete c;
        *error = uint32_t(failure);
        return nullptr;
    }
    *fd = pair[0];
    return c;
}

uint32_t simConsoleModem(SimConsole* console) { return console->modem.load(); }

void simConsoleLineCounts(SimConsole* console, uint32_t* ctsChanges, uint32_t* dsrChanges) {
    *ctsChanges = console->ctsChanges.load();
    *dsrChanges = console->dsrChanges.load();
}

int simConsoleLineFd(SimConsole* console) { return console->lineFd; }

void simConsoleSetSpeed(SimConsole* console, uint32_t baudRate) {
    console->baud.store(baudRate != 0 ? baudRate : kDefaultBaud);
}

void simConsoleClose(SimConsole* console) {
    if (console == nullptr) return;
    uint64_t one = 1;
    ssize_t r = write(console->stopFd, &one, sizeof one);
    (void)r;
    pthread_join(console->thread, nullptr);
    writeTranscript(console);
    closeFd(console->fd);
    closeFd(console->lineFd);
    closeFd(console->stopFd);
    delete[] console->record;
    delete console;
}
