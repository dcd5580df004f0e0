// The simulated console: a model of a PlayStation on a link cable, driven by
// the bytes the PC writes to it and by a clock, writing bytes for the PC and
// moving its two modem lines (its RTS is the PC's CTS, its DTR the PC's DSR).
// A transport per platform puts it behind the serial device layer under the
// port name "sim" or "sim:<options>" (the options are in the README); tests
// drive it directly with a clock of their own.
//
// What it does, in order:
//   1. 100 ms after the open it raises RTS; 100 ms later it goes idle. Nothing
//      is written near the RTS change, so the PC's drain of the line on "RTS
//      high" finds nothing to throw away.
//   2. Idle: it writes its C-packet (FD 43 n 00 00 sel 00 sum, byte 4 = 0,
//      sel = 1 for a 20 ms frame) at once and every `hello` ms. A console that
//      starts waits until it has received a valid C-packet (the other console's,
//      marked by its PC) and then writes its S-packet (FD 53 n size-2 ...;
//      from its second transfer on, size2-2 when size2 is given).
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
// (simSetSpeed; 115200 until it is set), i.e. 10 bits per byte.
//
// Received bytes are cut into packets as the console sees them: outside a
// transfer a byte 0xFD starts an 8-byte packet and any other byte is a one-byte
// packet (an incomplete packet is recorded as such after 100 ms of silence);
// during a transfer every `size` bytes are a packet. Each packet goes into the
// transcript (sim_transcript.h) as the console sees it; one received is
// stamped when its last byte came in.
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
#include "serial/sim/sim_console.h"

#include <cstring>
#include <new>

#include "serial/sim/sim_options.h"
#include "serial/sim/sim_transcript.h"

namespace {

constexpr uint64_t kSettleUs = 100000;        // open to RTS high, RTS high to idle
constexpr uint64_t kGiveUpUs = 3000000;       // a silent other side
constexpr uint64_t kPartUs = 100000;          // an incomplete packet outside a transfer
constexpr uint32_t kPauseFrames = 30;         // after a transfer
constexpr size_t kRxBytes = 2 * kSimMaxSize;  // cutting received bytes into packets
constexpr size_t kOutBytes = 4 * kSimMaxSize; // written, not yet taken by the transport
constexpr uint32_t kDefaultBaud = 115200;

enum Phase { Settle, Idle, Handshake, Transfer, Pause, Quiet, Silent };

} // namespace

struct SimConsole {
    SimOptions options{};
    char name[512]{};
    uint32_t baud = kDefaultBaud;
    SimLines lines{false, false, 0, 0};
    uint8_t out[kOutBytes]{};   // bytes for the PC, not yet taken
    uint32_t outLength = 0;
    bool lineOpen = true;       // the PC's end is still open

    Phase phase = Settle;
    uint64_t started = 0;
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

    SimTranscript transcript;
};

namespace {

void addRecord(SimConsole* c, SimRecordKind kind, const uint8_t* bytes, uint32_t length,
               uint64_t now) {
    transcriptAdd(&c->transcript, kind, bytes, length, now - c->started);
}

void markPhase(SimConsole* c, SimRecordKind kind, uint32_t size, uint64_t now) {
    transcriptPhase(&c->transcript, kind, size, now - c->started);
}

void setLine(SimConsole* c, bool isRts, bool high) {
    SimLines& l = c->lines;
    if (isRts) {
        if (l.rts == high) return;
        l.rts = high;
        ++l.rtsChanges;
    } else {
        if (l.dtr == high) return;
        l.dtr = high;
        ++l.dtrChanges;
    }
}

uint64_t lineTimeUs(SimConsole* c, uint32_t bytes) {
    return (uint64_t(bytes) * 10u * 1000000u + c->baud - 1) / c->baud;
}

// Writes bytes to the PC at once; they occupy the line for their time. Bytes
// that find no room (the PC does not read) or no PC (it has closed its end)
// are lost.
void writeLine(SimConsole* c, const uint8_t* bytes, uint32_t length, uint64_t now) {
    uint32_t done = 0;
    if (c->lineOpen) {
        done = length;
        if (done > kOutBytes - c->outLength) done = uint32_t(kOutBytes - c->outLength);
        memcpy(c->out + c->outLength, bytes, done);
        c->outLength += done;
    }
    addRecord(c, RecTx, bytes, done, now);
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

void flushPartial(SimConsole* c, uint64_t now) {
    if (c->rxLength > 0) addRecord(c, RecPart, c->rx, c->rxLength, now);
    c->rxLength = 0;
}

void startTransfer(SimConsole* c, uint64_t now) {
    c->phase = Transfer;
    c->cutTransfer = true;
    markPhase(c, RecTransfer, c->size, now);
    c->sent = 0;
    c->peerDone = false;
    c->awaiting = false;
    c->closing = 0;
    c->dtrPending = false;
    c->nextExchange = now + 2 * frameUs(c);
    c->lastPeerData = now;
}

void endTransfer(SimConsole* c, uint64_t now) {
    flushPartial(c, now);
    c->cutTransfer = false;
    c->dtrPending = false;
    c->awaiting = false;
    markPhase(c, RecControl, 0, now);
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
    addRecord(c, RecRx, p, length, now);
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
        addRecord(c, RecFill, p, length, now);
    } else {
        addRecord(c, RecRx, p, length, now);
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
        setLine(c, false, !c->lines.dtr);
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
            setLine(c, false, !c->lines.dtr);
        }
    } else {
        setLine(c, false, !c->lines.dtr);
        c->awaiting = true;
    }
}

} // namespace

uint64_t simStep(SimConsole* c, uint64_t now) {
    uint64_t next = now + 1000000;
    auto due = [&](uint64_t t) {
        if (t < next) next = t;
    };

    if (!c->cutTransfer && c->rxLength > 0) {
        if (now - c->lastRx >= kPartUs) {
            flushPartial(c, now);
        } else {
            due(c->lastRx + kPartUs);
        }
    }

    switch (c->phase) {
    case Settle:
        if (!c->lines.rts) {
            if (now >= c->started + kSettleUs) {
                setLine(c, true, true);
            } else {
                due(c->started + kSettleUs);
            }
        }
        if (c->lines.rts) {
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
                c->size = c->transfersDone > 0 && c->options.size2 != 0 ? c->options.size2
                                                                         : c->options.size;
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
                setLine(c, false, !c->lines.dtr);
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

SimConsole* simCreate(const SimOptions& options, const char* title, uint64_t nowUs) {
    SimConsole* c = new (std::nothrow) SimConsole;
    if (c == nullptr) return nullptr;
    if (!transcriptStart(&c->transcript)) {
        delete c;
        return nullptr;
    }
    c->options = options;
    size_t n = strlen(title);
    if (n >= sizeof c->name) n = sizeof c->name - 1;
    memcpy(c->name, title, n);
    c->started = nowUs;
    markPhase(c, RecControl, 0, nowUs);
    return c;
}

void simEnd(SimConsole* c, uint64_t nowUs) {
    flushPartial(c, nowUs);
    if (c->options.logPath[0] != '\0') {
        transcriptWrite(&c->transcript, c->options.logPath, c->name, c->options.times);
    }
}

void simDestroy(SimConsole* c) {
    if (c == nullptr) return;
    transcriptEnd(&c->transcript);
    delete c;
}

void simReceive(SimConsole* c, const uint8_t* bytes, uint32_t length, uint64_t nowUs) {
    while (length > 0) {
        // Nothing in the line's cutting rules keeps this many bytes.
        if (c->rxLength == kRxBytes) flushPartial(c, nowUs);
        uint32_t n = uint32_t(kRxBytes - c->rxLength);
        if (n > length) n = length;
        memcpy(c->rx + c->rxLength, bytes, n);
        c->rxLength += n;
        bytes += n;
        length -= n;
        c->lastRx = nowUs;
        takeReceived(c, nowUs);
    }
}

void simLineClosed(SimConsole* c) { c->lineOpen = false; }

void simSetSpeed(SimConsole* c, uint32_t baudRate) {
    c->baud = baudRate != 0 ? baudRate : kDefaultBaud;
}

uint32_t simTakeOutput(SimConsole* c, uint8_t* out, uint32_t max) {
    uint32_t n = c->outLength < max ? c->outLength : max;
    memcpy(out, c->out, n);
    memmove(c->out, c->out + n, c->outLength - n);
    c->outLength -= n;
    return n;
}

SimLines simLines(const SimConsole* c) { return c->lines; }
