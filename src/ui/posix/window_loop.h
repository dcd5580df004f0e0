// The window thread's loop on Linux: one poll over the UDP socket's read watch,
// the connect retry timer, the port thread's hand-offs and the front end's own
// input. Everything it calls runs on the window thread.
#pragma once

#include <cstdint>

// The front end's input: onReadable runs on the window thread whenever fd is readable.
void windowLoopWatchInput(int fd, void (*onReadable)());

// Any thread: wake the loop so it delivers the port thread's hand-offs.
void windowLoopWake();

// Runs until windowLoopQuit; returns its exit code.
int windowLoopRun();
void windowLoopQuit(int code);
