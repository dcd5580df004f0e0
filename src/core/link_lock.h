// The lock that makes each ring operation (capture, send, store, deliver,
// re-queue, resets) indivisible with respect to the other thread. It may be
// taken again by the thread that holds it. While the window thread waits for it,
// it keeps taking the port thread's log hand-offs, so the port thread can never
// be stuck waiting for the window thread while it holds the lock. The window
// thread sleeps through that wait: each release and each hand-off wakes it.
#pragma once

class LinkLock {
public:
    LinkLock();
    ~LinkLock();
    LinkLock(const LinkLock&) = delete;
    LinkLock& operator=(const LinkLock&) = delete;
};

// A port-thread hand-off is waiting: wakes the window thread if it waits for
// the lock, so that it takes it.
void handOffWaiting();

// Longest time, in microseconds, that the window thread has waited for the lock.
unsigned long longestWindowWaitUs();
