// zavik ports: the serial devices present, each with its driver and, for a USB
// adapter, what its USB descriptors say.
#pragma once

#include <string>
#include <vector>

struct PortDescription {
    std::string path;        // /dev/ttyUSB0
    std::string driver;      // ftdi_sio; empty when sysfs names none
    std::string description; // "FTDI FT232R USB UART (0403:6001)"; empty when not USB
};

// The two folders can be changed for tests.
std::vector<PortDescription> describeSerialPorts(const char* devDir = "/dev",
                                                 const char* sysDir = "/sys/class/tty");

// One line per device: path, driver, description, separated by two spaces.
void printSerialPorts(const std::vector<PortDescription>& ports);
