// The port thread's side of the Windows program under Wine: a line-event wait
// that is closed while the device still holds it, and the window thread's wait
// for the link lock while the port thread holds it through a console write.
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
#include "os/pane.h"
#include "os/serial_device.h"
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
