// The port thread's side of the Windows program under Wine: a line-event wait
// that is closed while the device still holds it, the window thread's wait for
// the link lock while the port thread holds it through a console write, and
// the simulated console seen through the device layer as a COM port.
#include <windows.h>

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/link_lock.h"
#include "core/log.h"
#include "core/view.h"
#include "os/serial_device.h"
#include "os/system.h"
#include "serial/sim/sim_options.h"
#include "ui/win32/win_ui.h"
#include "wine/wintest.h"

// ---------------------------------------------------------------- freed memory

// While armed, the next block freed is kept and filled with a pattern instead
// of going back to the heap, so that a late write into it shows.
namespace {
constexpr unsigned char kFreed = 0xA5;
std::atomic<bool> keepNextFree{false};
unsigned char* keptBlock = nullptr;
size_t keptSize = 0;

bool keptUntouched() {
    for (size_t i = 0; i < keptSize; ++i)
        if (keptBlock[i] != kFreed) return false;
    return true;
}
} // namespace

void operator delete(void* block) noexcept {
    if (block != nullptr && keepNextFree.exchange(false)) {
        keptBlock = static_cast<unsigned char*>(block);
        keptSize = _msize(block);
        std::memset(keptBlock, kFreed, keptSize);
        return;
    }
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

// ---------------------------------------------------------------- line wait

// run_wine.sh maps COM9 to /dev/ptmx. Wine holds a line-event wait on such a
// device for about a millisecond and then ends it, writing its result into the
// wait's record: closing the wait must take that result first.
void lineWaitClosedWhilePending() {
    uint32_t error = 0;
    SerialPort* port = serialOpen("COM9", &error);
    CHECKF(port != nullptr, "COM9 did not open (error %u)", unsigned(error));
    if (port == nullptr) return;
    serialSetMask(port, EvRxChar);
    for (int round = 0; round < 5; ++round) {
        LineWait* wait = lineWaitCreate();
        uint32_t events = 0;
        int started = serialWaitEvent(port, wait, &events, &error);
        CHECKF(started == WaitPending, "the wait started with %d (error %u)", started,
               unsigned(error));
        keepNextFree = true;
        lineWaitClose(wait);
        keepNextFree = false;
        CHECK(keptBlock != nullptr);
        if (keptBlock == nullptr) break;
        Sleep(50); // long past the end of the wait
        CHECKF(keptUntouched(), "round %d: the freed wait was written to", round);
        std::free(keptBlock);
        keptBlock = nullptr;
    }
    serialClose(port);
}

// ---------------------------------------------------------------- lock wait

namespace {

constexpr int kRounds = 20;
constexpr DWORD kHoldMs = 30; // a console write that runs into its time-out
constexpr int kLinesWhileHolding = 100; // more than the hand-off queue holds

HANDLE lockHeld = nullptr;   // the other thread holds the lock
HANDLE windowDone = nullptr; // the window thread had its turn

DWORD WINAPI holdTheLock(LPVOID) {
    for (int round = 0; round < kRounds; ++round) {
        {
            LinkLock lock;
            SetEvent(lockHeld);
            if (round == 0) {
                for (int i = 0; i < kLinesWhileHolding; ++i) logPrintf("held %i\r\n", i);
            }
            Sleep(kHoldMs);
        }
        WaitForSingleObject(windowDone, 5000);
    }
    return 0;
}

uint64_t nowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return uint64_t(count.QuadPart) * 1000 / uint64_t(frequency.QuadPart);
}

uint64_t threadCpuMs() {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    auto ticks = [](const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000;
}

} // namespace

// The window thread waits for the lock the way a datagram read meets a console
// write: it must sleep through the wait, and take the other thread's log lines
// meanwhile, as that thread may wait for room in the hand-off queue.
void lockWaitBlocks() {
    if (logEdit == nullptr) return;
    paneClear();
    lockHeld = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    windowDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE holder = CreateThread(nullptr, 0, holdTheLock, nullptr, 0, nullptr);
    CHECK(holder != nullptr);
    if (holder == nullptr) return;

    uint64_t cpuBefore = threadCpuMs();
    uint64_t waitedMs = 0;
    for (int round = 0; round < kRounds; ++round) {
        WaitForSingleObject(lockHeld, 5000);
        uint64_t start = nowMs();
        { LinkLock lock; }
        waitedMs += nowMs() - start;
        SetEvent(windowDone);
    }
    uint64_t cpuMs = threadCpuMs() - cpuBefore;
    CHECK(WaitForSingleObject(holder, 5000) == WAIT_OBJECT_0);
    CloseHandle(holder);
    CloseHandle(lockHeld);
    CloseHandle(windowDone);
    deliverHandOffs();

    std::printf("     window thread: %lu ms of processor time in %lu ms of waiting for the lock\n",
                static_cast<unsigned long>(cpuMs), static_cast<unsigned long>(waitedMs));
    CHECKF(waitedMs >= kRounds * kHoldMs / 2, "waited only %lu ms",
           static_cast<unsigned long>(waitedMs));
    CHECKF(cpuMs * 5 <= waitedMs, "%lu ms of processor time in %lu ms of waiting",
           static_cast<unsigned long>(cpuMs), static_cast<unsigned long>(waitedMs));

    std::string want;
    for (int i = 0; i < kLinesWhileHolding; ++i) want += "held " + std::to_string(i) + "\r\n";
    char text[4096];
    GetWindowTextA(logEdit, text, sizeof text);
    CHECKF(want == text, "log \"%.80s...\"", text);
}

// ---------------------------------------------------------------- simulated console

namespace {

// Waits up to ms for the outstanding line-event wait to end; its events, or
// -1 when it did not end, or -2 when its result query failed (error in *error).
WakeEvent* packetEvent = nullptr; // never signalled

int64_t lineEvent(SerialPort* port, LineWait* wait, uint32_t ms, uint32_t* error) {
    *error = 0;
    uint32_t woken = waitLineOrPacket(wait, packetEvent, clockMs(), ms, error);
    if (woken != 0) return -1;
    uint32_t events = 0;
    if (!serialWaitResult(port, wait, &events, error)) return -2;
    return events;
}

// Starts a line-event wait; the events when it ended at once, else -1.
int64_t arm(SerialPort* port, LineWait* wait) {
    uint32_t events = 0, error = 0;
    int started = serialWaitEvent(port, wait, &events, &error);
    CHECKF(started != WaitFailed, "the wait did not start (error %u)", unsigned(error));
    return started == WaitDone ? int64_t(events) : -1;
}

} // namespace

// The simulated console behind the device layer, as the port thread sees it:
// its RTS rise and its C-packet as line events with the mask, a read that
// finds nothing ending at its time-out, an event that came while no wait was
// outstanding ending the next wait at once, a mask change ending a wait with
// no events, the close ending a wait, and the PC's bytes reaching the console.
void simulatedConsolePort() {
    char log[MAX_PATH];
    GetTempPathA(MAX_PATH, log);
    lstrcatA(log, "zavik_simport.txt");
    DeleteFileA(log);
    std::string name = std::string("sim:hello=60,log=") + log;
    uint32_t error = 0;
    SerialPort* port = serialOpen(name.c_str(), &error);
    CHECKF(port != nullptr, "%s did not open (error %u)", name.c_str(), unsigned(error));
    if (port == nullptr) return;
    CHECK(serialOpen("sim:size=1", &error) == nullptr && error == ERROR_INVALID_PARAMETER);
    const CommTimeouts timeouts{5, 0, 10, 0, 30};
    serialSetTimeouts(port, &timeouts);
    serialSetMask(port, EvRxChar | EvCts);
    LineWait* wait = lineWaitCreate();
    packetEvent = wakeEventCreate();

    // RTS rises 100 ms after the open, the C-packet comes 100 ms later.
    CHECK(arm(port, wait) == -1);
    CHECK(lineEvent(port, wait, 2000, &error) == EvCts);
    uint32_t status = 0;
    CHECK(serialModemStatus(port, &status) && (status & MsCtsOn));
    CHECK(arm(port, wait) == -1);
    CHECK(lineEvent(port, wait, 2000, &error) == EvRxChar);
    uint8_t packet[8];
    uint32_t got = 0;
    CHECK(serialRead(port, packet, 8, &got) && got == 8);
    CHECKF(packet[0] == 0xFD && packet[1] == 'C' && packet[7] == simChecksum(packet, 7),
           "%02x %02x ... %02x", packet[0], packet[1], packet[7]);

    // Nothing waits: the read ends after its 10 ms with nothing.
    uint64_t start = nowMs();
    CHECK(serialRead(port, packet, 8, &got) && got == 0);
    uint64_t took = nowMs() - start;
    CHECKF(took >= 9 && took < 1000, "an empty read took %lu ms", static_cast<unsigned long>(took));

    // The next C-packet comes while no wait is outstanding: the next wait
    // ends at once.
    Sleep(150);
    CHECK(arm(port, wait) == EvRxChar);
    uint32_t errors = 0, queued = 0;
    CHECK(serialClearErrors(port, &errors, &queued) && errors == 0 && queued >= 8);
    CHECK(serialRead(port, packet, 8, &got) && got == 8);

    // A mask change ends the outstanding wait with no events, and forgets the
    // events that came before it.
    serialSetMask(port, EvCts | EvDsr);
    CHECK(arm(port, wait) == -1);
    serialSetMask(port, EvCts | EvDsr);
    CHECK(lineEvent(port, wait, 1000, &error) == 0);

    // What the PC writes reaches the console.
    const uint8_t marked[8] = {0xFD, 'C', 7, 0, 1, 0, 0, uint8_t(0xFD + 'C' + 7 + 1)};
    CHECK(serialWrite(port, marked, 8, &got) && got == 8);

    // The close: the outstanding wait ends, and its result says so.
    CHECK(arm(port, wait) == -1);
    serialEndWaits(port);
    CHECK(lineEvent(port, wait, 1000, &error) == -2 && error == kPortClosedError);
    lineWaitClose(wait);
    wakeEventClose(packetEvent);
    serialClose(port);

    std::string transcript;
    if (FILE* f = std::fopen(log, "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) transcript += line;
        std::fclose(f);
    }
    CHECKF(transcript.find("rx FD 43 07 00 01 00 00 48\n") != std::string::npos, "transcript:\n%s",
           transcript.c_str());
    DeleteFileA(log);
}
