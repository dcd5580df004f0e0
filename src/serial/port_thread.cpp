// The port thread: it waits at once for a line event on the console's port, for
// a peer packet stored for the console (packetEvent) and for the next thing due
// without either (a paced write, the console time-out, the counters' refresh),
// and turns each into capture, delivery or an exchange turn. With nothing due
// it waits without a time limit, so an idle link costs no wake-ups.
//
// The thread works only on the port it was started with, the line-event wait
// and every other port operation alike, so nothing it does reaches a port opened
// after it, even when it ends late. It never holds the link lock across a call
// to the device. The fields it shares with the window thread are read under the
// link lock; capture, delivery, sending and the resets take the lock themselves.
#include "serial/port_thread.h"

#include <cstdint>

#include "core/console.h"
#include "core/counters.h"
#include "core/exchange.h"
#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "core/recovery.h"
#include "os/serial_device.h"
#include "os/system.h"
#include "serial/serial_port.h"

namespace {

constexpr uint32_t kDrainSize = 50;
constexpr uint32_t kFillerBufferSize = 80;
// A filler is never longer than the longest packet a slot holds.
constexpr uint32_t kMaxFillerSize = kMaxPayload;
static_assert(kMaxFillerSize <= kFillerBufferSize, "the filler fits its buffer");

constexpr uint32_t kConsoleTimeoutMs = 3000;

// A failure that keeps coming back (a wait that will not start, a wait or its
// result query that keeps failing) is retried after a pause of portWaitMs; a
// failed result query ends its wait, so the retry starts a new one. Once the
// pauses of one unbroken run of failures add up to this much, that is, the
// failure has lasted at least two seconds (the 101st failure in a row at 20 ms,
// the 2001st at 1 ms), the device is taken as gone and the thread ends.
// Anything shorter, such as a failure or two while a driver settles, is ridden
// out.
constexpr uint32_t kGiveUpAfterMs = 2000;

// Kept for the life of the program; only writeFillerPacket touches it.
uint8_t fillerBuffer[kFillerBufferSize];

// The clock value of the last idle turn, so that a turn that changed nothing
// (a write that failed) is not run again within the same millisecond.
uint32_t lastIdleMs = 0;
bool idleRan = false;

SerialPort* ownPort() { return portOfThread(); }

bool connected() { return linkState.connectionState.load() == Connected; }

// One kind of repeated failure: its warning is logged at the first failure of a
// run, every failure pauses, and a run that lasts ends the thread.
struct FailureRun {
    uint32_t pausedMs; // pauses taken in the current run; 0 = no run
    bool logged;
};

// Notes one failure of a run and pauses. Returns 1 when the run has lasted long
// enough that the thread should give up.
int failedAgain(FailureRun& run, const char* warning, uint32_t error) {
    if (!run.logged) {
        logPrintf(warning, int(error));
        run.logged = true;
    }
    if (run.pausedMs >= kGiveUpAfterMs) return 1;
    if (linkState.stopPortThread.load()) return 0; // the caller ends the thread
    int32_t wait = linkState.portWaitMs.load();
    uint32_t pause = wait > 0 ? uint32_t(wait) : 1;
    sleepMs(pause);
    run.pausedMs += pause;
    return 0;
}

void endRun(FailureRun& run) {
    run.pausedMs = 0;
    run.logged = false;
}

// Reads and discards what waits at the port, 50 bytes at a time, until a read
// takes nothing or fails.
void drainPort() {
    uint8_t drain[kDrainSize];
    SerialPort* port = ownPort();
    for (;;) {
        uint32_t got = 0;
        if (!serialRead(port, drain, kDrainSize, &got) || got == 0) return;
    }
}

// The console's RTS dropped. During a transfer the last packet delivered goes
// back into its slot so that the next delivery writes it again; only when one
// was delivered since the last reset and nothing has been stored in its slot
// since, as otherwise there is no such packet or its slot holds another.
void requeueLastDelivered() {
    LinkLock lock;
    if (!linkState.transferActive) return;
    RemoteRing& r = linkState.remote;
    if (r.remoteDelivered == 0) return; // nothing delivered since the last reset
    PacketSlot& slot = r.slots[slotIndex(r.remoteDelivered - 1)];
    if (slot.type != 0) return;
    r.remoteDelivered -= 1;
    slot.type = DataPacket;
    r.remoteStored += 1;
    linkState.psxSendFlag = true;
}

void onReceivedCharacter() {
    bool active;
    {
        LinkLock lock;
        active = linkState.transferActive;
    }
    if (active) {
        logPrintf("WARN: DTR line change missed\r\n");
        return;
    }
    if (readPsxPacket(8) != 0 && connected()) sendStoredPackets();
}

void onCtsChange() {
    SerialPort* port = ownPort();
    uint32_t status = 0;
    serialModemStatus(port, &status);
    if (status & MsCtsOn) {
        logPrintf("PlayStation RTS line high\r\n");
        drainPort();
        return;
    }
    logPrintf("PlayStation RTS line dropped\r\n");
    uint32_t errors = 0, inQueue = 0;
    serialClearErrors(port, &errors, &inQueue);
    requeueLastDelivered();
}

void onDsrChange() {
    uint32_t size;
    {
        LinkLock lock;
        linkState.psxSendFlag = true;
        size = uint32_t(linkState.expectedSize);
    }
    if (size > 8) {
        exchangeLargePacket();
        return;
    }
    if (readPsxPacket(int32_t(size)) != 0 && connected()) sendStoredPackets();
    deliverRemotePacket();
}

int32_t expectedSizeNow() {
    LinkLock lock;
    return linkState.expectedSize;
}

// The orderly end, when stopPortThread is seen.
int closeThread(LineWait* wait) {
    lineWaitClose(wait);
    logPrintf("Port thread closed\r\n");
    linkState.stopPortThread = false;
    return 0;
}

// The end when the device has stopped answering, or has gone. The window thread
// then ends the link (the port thread never touches the window).
int abandonThread(SerialPort* port, LineWait* wait, uint32_t error) {
    lineWaitClose(wait);
    logPrintf("WARN: Serial port stopped answering (error #%i), port thread ended\r\n",
              int(error));
    handOverPortLost(port);
    return 0;
}

} // namespace

namespace {

int runPortThread(SerialPort* port, WakeEvent* packetEvent) {
    serialSetMask(port, EvRxChar | EvCts);
    idleRan = false;
    LineWait* wait = lineWaitCreate();
    if (wait == nullptr) {
        // Without its wait event the thread cannot wait for anything.
        logPrintf("WARN: CreateEvent() failed (error #%i)\r\n", int(lastSystemError()));
        return 0;
    }
    bool pending = false;
    FailureRun startFailures{0, false};
    FailureRun waitFailures{0, false};
    FailureRun queryFailures{0, false};

    while (!linkState.stopPortThread.load()) {
        // A port being closed ends the thread silently, also when the device
        // does not end the outstanding wait.
        if (serialClosing(port)) {
            lineWaitClose(wait);
            return 0;
        }
        // Arm: a line-event wait must be outstanding before the thread waits.
        while (!pending) {
            uint32_t events = 0, error = 0;
            int started = serialWaitEvent(port, wait, &events, &error);
            if (started == WaitDone) {
                endRun(startFailures);
                onCommEvent(events);
            } else if (started == WaitPending) {
                endRun(startFailures);
                pending = true;
            } else {
                if (failedAgain(startFailures, "WARN: WaitCommEvent() failed (error #%i)\r\n",
                                error))
                    return abandonThread(port, wait, error);
                if (linkState.stopPortThread.load()) return closeThread(wait);
            }
        }

        uint32_t error = 0;
        const uint32_t now = clockMs();
        const uint32_t timeout = portWaitTimeout(now);
        uint32_t woken = waitLineOrPacket(wait, packetEvent, now, timeout, &error);
        if (woken != 0 && woken != 1 && woken != kWaitTimeout) {
            if (failedAgain(waitFailures, "WARN: WaitForMultipleObjects() failed (error #%i)\r\n",
                            error))
                return abandonThread(port, wait, error);
            continue;
        }
        endRun(waitFailures);
        // Later copies of the last packets sent, whatever woke the thread.
        sendDueCopies(clockMs());
        if (woken == 0) {
            uint32_t events = 0;
            if (serialWaitResult(port, wait, &events, &error)) {
                endRun(queryFailures);
                pending = false;
                onCommEvent(events);
            } else if (error == kPortClosedError && serialClosing(port)) {
                // The port was closed under the wait: end without a word.
                lineWaitClose(wait);
                return 0;
            } else if (error == kPortClosedError) {
                // The handle failed while nobody closed it: the device is gone.
                return abandonThread(port, wait, error);
            } else {
                // The failed query ended the wait: the next turn starts another.
                pending = false;
                if (failedAgain(queryFailures, "WARN: GetOverlappedResult() failed (error #%i)\r\n",
                                error))
                    return abandonThread(port, wait, error);
            }
        } else if (woken == 1) {
            deliverRemotePacket();
        } else {
            onPortIdle();
        }
    }
    return closeThread(wait);
}

} // namespace

int portThreadMain() {
    SerialPort* port;
    WakeEvent* packetEvent;
    {
        LinkLock lock;
        port = linkState.serialPort;
        packetEvent = linkState.packetEvent;
    }
    bindPortToThread(port);
    const int result = runPortThread(port, packetEvent);
    bindPortToThread(nullptr);
    // A thread that the window thread gave up waiting for closes its port now.
    portThreadEnded(port);
    return result;
}

void onCommEvent(uint32_t events) {
    switch (events) {
    case EvRxChar:
        onReceivedCharacter();
        break;
    case EvCts:
        onCtsChange();
        break;
    case EvDsr:
        onDsrChange();
        break;
    default:
        break; // none, or several at once
    }
}

void exchangeLargePacket() {
    if (deliverRemotePacket() == 0) writeFillerPacket(uint32_t(expectedSizeNow()));
    uint32_t errors = 0, inQueue = 0;
    serialClearErrors(ownPort(), &errors, &inQueue);
    if (inQueue >= 1 && readPsxPacket(expectedSizeNow()) != 0 && connected()) sendStoredPackets();
    LinkLock lock;
    linkState.psxSendFlag = false;
}

int writeFillerPacket(uint32_t size) {
    // A console may announce sizes beyond what a slot carries; the filler stops
    // at that length and the short write below reports the rest as missing.
    uint32_t count = size < kMaxFillerSize ? size : kMaxFillerSize;
    for (uint32_t i = 0; i < count; ++i) fillerBuffer[i] = i + 2 >= count ? 4 : 0;
    uint32_t written = 0;
    if (!serialWrite(ownPort(), fillerBuffer, count, &written)) {
        logPrintf("WARN: WriteFile() failed (error #%i)\r\n", int(queryCommErrors(ownPort())));
        return 0;
    }
    if (written < size) {
        logPrintf("WARN: WriteFile() error, %i of %i bytes written\r\n", int(written), int(size));
        return 0;
    }
    return 1;
}

uint32_t msUntilDue(uint32_t now) {
    uint32_t due = msUntilWriteAllowed(now);
    {
        LinkLock lock;
        if (linkState.transferStage != 0 && linkState.lastReadTime != 0) {
            const uint32_t silent = now - linkState.lastReadTime;
            const uint32_t timeout = silent > kConsoleTimeoutMs ? 0 : kConsoleTimeoutMs + 1 - silent;
            if (timeout < due) due = timeout;
        }
    }
    const uint32_t copies = msUntilCopiesDue(now);
    if (copies < due) due = copies;
    const uint32_t refresh = msUntilRefresh(now);
    return refresh < due ? refresh : due;
}

uint32_t portWaitTimeout(uint32_t now) {
    const int32_t wait = linkState.portWaitMs.load();
    const uint32_t coarsest = wait > 0 ? uint32_t(wait) : 1;
    const uint32_t due = msUntilDue(now);
    if (due == 0) return (idleRan && lastIdleMs == now) ? coarsest : 0;
    return due < coarsest ? coarsest : due;
}

void onPortIdle() {
    uint32_t now = clockMs();
    lastIdleMs = now;
    idleRan = true;
    deliverRemotePacket();
    bool silent;
    {
        LinkLock lock;
        silent = linkState.transferStage != 0 && linkState.lastReadTime != 0 &&
                 now - linkState.lastReadTime > kConsoleTimeoutMs;
    }
    if (silent) {
        logPrintf("No PlayStation packets received, time-out.\r\n");
        uint32_t errors = 0, inQueue = 0;
        serialClearErrors(ownPort(), &errors, &inQueue);
        {
            LinkLock lock;
            logPrintf("Psx sendflag %i Bytes at port %i CommErrors %i\r\n",
                      int(linkState.psxSendFlag), int(inQueue), int(errors));
            linkState.psxActive = false;
            resetLocalSide();
            resetRemoteSide();
        }
        applyLineMask();
    }
    refreshStatistics(now);
}
