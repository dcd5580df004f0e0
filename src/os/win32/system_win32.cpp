// Clock, events, threads and priorities on Windows.
#include <windows.h>
#include <mmsystem.h>

#include "os/system.h"

uint32_t clockMs() { return timeGetTime(); }

namespace {
bool timerFine = false; // window thread only
} // namespace

void timerPrecisionBegin() {
    if (timerFine) return;
    timerFine = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void timerPrecisionEnd() {
    if (!timerFine) return;
    timeEndPeriod(1);
    timerFine = false;
}

void sleepMs(uint32_t ms) { Sleep(ms); }

uint32_t lastSystemError() { return GetLastError(); }

WakeEvent* wakeEventCreate() {
    return reinterpret_cast<WakeEvent*>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}
void wakeEventSet(WakeEvent* event) { SetEvent(reinterpret_cast<HANDLE>(event)); }
void wakeEventClose(WakeEvent* event) { CloseHandle(reinterpret_cast<HANDLE>(event)); }

namespace {
DWORD WINAPI threadBody(LPVOID entry) {
    return DWORD(reinterpret_cast<int (*)()>(entry)());
}
} // namespace

ThreadHandle* threadStart(int (*entry)()) {
    HANDLE h = CreateThread(nullptr, 0, threadBody, reinterpret_cast<LPVOID>(entry), 0, nullptr);
    return reinterpret_cast<ThreadHandle*>(h);
}

int threadWait(ThreadHandle* thread, uint32_t ms) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(thread), ms) == WAIT_OBJECT_0 ? 1 : 0;
}

void threadRelease(ThreadHandle* thread) { CloseHandle(reinterpret_cast<HANDLE>(thread)); }

void threadSetPriority(ThreadHandle* thread, ThreadPriority priority) {
    SetThreadPriority(reinterpret_cast<HANDLE>(thread),
                      priority == ThreadPriorityHighest ? THREAD_PRIORITY_HIGHEST
                                                        : THREAD_PRIORITY_NORMAL);
}

void processSetHighPriority(bool high) {
    SetPriorityClass(GetCurrentProcess(), high ? HIGH_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
}
