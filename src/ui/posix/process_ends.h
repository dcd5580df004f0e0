// The ends of a Linux front end's process: its standard streams, and the
// signals that ask it to close. Shared by every Linux front end.
#pragma once

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later takes the place of a standard stream. The
// first thing a front end does.
void ensureStandardStreams();

// From now on SIGINT, SIGTERM and SIGHUP ask the program to close: the
// descriptor returned becomes readable and takeCloseSignal names the signal. A
// second SIGINT ends the process at once, however far the close has got.
// SIGPIPE is ignored. Returns -1 when the descriptor cannot be made.
int watchCloseSignals();

// The close signal that arrived, or 0; the descriptor is read empty.
int takeCloseSignal();

// The command line of zavik-headless and zavik-gtk: nothing, or --no-recovery
// (the side offers no loss recovery and speaks only the four datagram types
// every peer knows). Returns 1 with *recovery set, or 0 after a line on
// standard error for anything else.
int readRecoverySwitch(const char* program, int argc, char** argv, bool* recovery);
