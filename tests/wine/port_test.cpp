// The port thread's side of the Windows program under Wine: the window thread's
// wait for the link lock while the port thread holds it through a console write.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/link_lock.h"
#include "core/log.h"
#include "ui/pane.h"
#include "ui/win32/win_ui.h"
#include "wine/wintest.h"

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
