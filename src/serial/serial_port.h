// Opening and closing the console's serial port. Window thread.
#pragma once

#include <cstdint>

int openSerialPort();
// Closes the socket, then the serial port (ending the port thread first).
void closeLink();
