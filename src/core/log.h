// The one log of the program. logPrintf may be called from either thread; the
// text reaches the log pane on the window thread, in order.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t kLogBufferSize = 1024;

// Formats with the wvsprintfA rules (%i, %s and friends) into out, cut at
// size-1 characters; returns the length written.
int formatLog(char* out, size_t size, const char* format, va_list args);

void logPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes an unsigned decimal into a counter field of the panel. From the port
// thread the write goes through the same queue as its log lines, in order.
void writeCounter(int controlId, uint32_t value);

// Window thread: empties the log pane.
void clearLog();

// Window thread: append what the port thread handed over. Called by the window
// thread's loop on every wake-up, and whenever it has to wait for the port thread.
void deliverHandOffs();

// Marks the calling thread as the window thread.
void setWindowThread();
bool onWindowThread();
