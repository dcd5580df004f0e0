// The window thread's loop on Linux: one poll over the UDP socket's read watch,
// the connect retry and warning timers, the port thread's hand-offs, the front
// end's own input and the close signals. Everything it calls runs on the
// window thread.
#pragma once

#include <cstdint>

// The front end's input: onReadable runs on the window thread whenever fd is readable.
void windowLoopWatchInput(int fd, void (*onReadable)());
// The same for the descriptor of the close signals (ui/posix/process_ends.h).
void windowLoopWatchSignals(int fd, void (*onSignal)());

// onTick runs on the window thread every periodMs, never sooner after the last run.
void windowLoopEvery(uint32_t periodMs, void (*onTick)());

// Any thread: wake the loop so it delivers the port thread's hand-offs.
void windowLoopWake();

// Runs until windowLoopQuit; returns its exit code.
int windowLoopRun();
void windowLoopQuit(int code);
