// Opening and closing the console's serial port. Window thread.
#pragma once

#include <cstdint>

int openSerialPort();
// The serial half of closeLink: ends the port thread, then restores the port's
// own time-outs and closes it. Does nothing when no port is open.
void closeSerialPort();

struct SerialPort;
struct WakeEvent;
// The port thread's last step: when the window thread gave up waiting for it,
// it puts the port's time-outs back and closes it.
void portThreadEnded(SerialPort* port);
// Closes packetEvent at shutdown, or, while a port thread that did not end in
// time still runs, when the last such thread ends.
void releasePacketEvent(WakeEvent* event);
