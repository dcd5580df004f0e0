// Opening and closing the console's serial port. Window thread.
#pragma once

#include <cstdint>

int openSerialPort();
// The serial half of closeLink: ends the port thread, then restores the port's
// own time-outs and closes it. Does nothing when no port is open.
void closeSerialPort();
