// What the parts of zavik_wintest share: the checks of the group that runs.
#pragma once

#include <windows.h>

// Notes a failed check of the current group, with its line and a message.
void check(bool ok, int line, const char* format, ...);
#define CHECK(c) check((c), __LINE__, "%s", #c)
#define CHECKF(c, ...) check((c), __LINE__, __VA_ARGS__)

// Groups of port_test.cpp: the port thread's side of the Windows program.
void lineWaitClosedWhilePending();
void lockWaitBlocks();
void simulatedConsolePort();
