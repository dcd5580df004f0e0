// The serial devices of /dev as sysfs describes them. /sys/class/tty/<name>/device
// is the port's device; its driver link names the driver, and for a USB adapter
// the USB device a few folders up has the product, maker and ids.
#include "ui/cli/ports.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "serial/posix/device_list.h"

namespace {

std::string readWord(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The serial core puts devices of its own (bus serial-base: "ctrl", "port")
// between the tty and the device of the hardware; the hardware's driver is
// the first one above them.
std::string driverOf(const std::string& device) {
    char real[PATH_MAX];
    if (realpath(device.c_str(), real) == nullptr) return "";
    std::string dir = real;
    for (int up = 0; up < 4 && dir.size() > 1; ++up) {
        char target[PATH_MAX];
        const ssize_t n = readlink((dir + "/driver").c_str(), target, sizeof target - 1);
        if (n <= 0) return "";
        target[n] = '\0';
        if (std::strstr(target, "/serial-base/") == nullptr) return baseName(target);
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

// The nearest folder at or above the port's device that has a USB product
// name: the port (ttyUSB), its interface, then the USB device itself.
std::string usbDescription(const std::string& device) {
    char real[PATH_MAX];
    if (realpath(device.c_str(), real) == nullptr) return "";
    std::string dir = real;
    for (int up = 0; up < 4 && dir.size() > 1; ++up) {
        const std::string product = readWord(dir + "/product");
        const std::string vendorId = readWord(dir + "/idVendor");
        if (!product.empty() || !vendorId.empty()) {
            const std::string maker = readWord(dir + "/manufacturer");
            std::string text = maker.empty() ? product : maker + " " + product;
            if (!vendorId.empty()) {
                if (!text.empty()) text += " ";
                text += "(" + vendorId + ":" + readWord(dir + "/idProduct") + ")";
            }
            return text;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

} // namespace

std::vector<PortDescription> describeSerialPorts(const char* devDir, const char* sysDir) {
    std::vector<PortDescription> ports;
    for (const std::string& path : listSerialDevices(devDir, sysDir)) {
        const std::string device = std::string(sysDir) + "/" + baseName(path) + "/device";
        ports.push_back({path, driverOf(device), usbDescription(device)});
    }
    return ports;
}

void printSerialPorts(const std::vector<PortDescription>& ports) {
    size_t pathWidth = 0, driverWidth = 0;
    for (const PortDescription& p : ports) {
        if (p.path.size() > pathWidth) pathWidth = p.path.size();
        if (p.driver.size() > driverWidth) driverWidth = p.driver.size();
    }
    for (const PortDescription& p : ports) {
        std::string line = p.path + std::string(pathWidth - p.path.size() + 2, ' ');
        line += (p.driver.empty() ? std::string("-") : p.driver);
        if (!p.description.empty()) {
            line += std::string(driverWidth + 2 - (p.driver.empty() ? 1 : p.driver.size()), ' ');
            line += p.description;
        }
        std::printf("%s\n", line.c_str());
    }
}
