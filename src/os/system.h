// What the link core needs of the operating system. Each platform defines these
// once (win32/, posix/); the tests define their own doubles.
#pragma once

#include <cstdint>

// Milliseconds from an arbitrary origin, 32 bits, wrapping.
uint32_t clockMs();

// A wait without a time limit; also "nothing due" where a time is asked for.
constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;

// The system timer at a millisecond for the life of the program, so that timed
// waits and clockMs() keep to the millisecond (Windows otherwise steps both in
// 15.6 ms). Begun at start-up before the port thread exists, ended at shutdown
// after it has ended; a second begin or an end without a begin does nothing.
void timerPrecisionBegin();
void timerPrecisionEnd();

// Blocks the calling thread.
void sleepMs(uint32_t ms);

// The system's last error code of the calling thread (GetLastError, errno).
uint32_t lastSystemError();

// Auto-reset event, created not signalled: packetEvent.
struct WakeEvent;
WakeEvent* wakeEventCreate(); // null on failure; lastSystemError() tells why
void wakeEventSet(WakeEvent* event);
void wakeEventClose(WakeEvent* event);

// The port thread.
struct ThreadHandle;
ThreadHandle* threadStart(int (*entry)()); // runs at once; null on failure
// Waits up to ms for the thread to end; 1 when it has ended.
int threadWait(ThreadHandle* thread, uint32_t ms);
void threadRelease(ThreadHandle* thread); // after it has ended
enum ThreadPriority { ThreadPriorityNormal = 0, ThreadPriorityHighest = 2 };
void threadSetPriority(ThreadHandle* thread, ThreadPriority priority);
// High: the whole program above ordinary programs; otherwise the normal class.
void processSetHighPriority(bool high);
