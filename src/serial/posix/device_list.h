// The serial devices present on this machine, as the Linux front ends offer
// them (the Settings list; a listing of ports).
#pragma once

#include <string>
#include <vector>

// The paths of /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*, in that order, each
// group by number (ttyS2 before ttyS10). A ttyS device whose driver found no
// UART behind it (its type in /sys/class/tty is 0) is left out: most PCs have
// far more of those names than ports. The two folders can be changed for tests.
std::vector<std::string> listSerialDevices(const char* devDir = "/dev",
                                           const char* sysDir = "/sys/class/tty");
