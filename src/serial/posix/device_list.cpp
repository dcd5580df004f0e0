// The serial devices present: device nodes by name, ttyS names checked
// against the UART type the kernel found.
#include "serial/posix/device_list.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

const char* const kGroups[] = {"ttyS", "ttyUSB", "ttyACM"};

// "ttyS12" in the group "ttyS": 12; -1 for anything else (ttySAC0, ttyS).
long numberAfter(const char* name, const char* prefix) {
    size_t length = std::strlen(prefix);
    if (std::strncmp(name, prefix, length) != 0) return -1;
    const char* digits = name + length;
    if (*digits < '0' || *digits > '9') return -1;
    char* end = nullptr;
    long n = std::strtol(digits, &end, 10);
    return *end == '\0' ? n : -1;
}

// A ttyS name with no UART behind it reads type 0; a name the kernel does not
// describe is kept.
bool hasUart(const std::string& sysDir, const char* name) {
    std::ifstream type(sysDir + "/" + name + "/type");
    int value = 1;
    if (type >> value) return value != 0;
    return true;
}

} // namespace

std::vector<std::string> listSerialDevices(const char* devDir, const char* sysDir) {
    std::vector<std::pair<long, std::string>> groups[3];
    if (DIR* dir = opendir(devDir)) {
        while (const dirent* entry = readdir(dir)) {
            for (int g = 0; g < 3; ++g) {
                long n = numberAfter(entry->d_name, kGroups[g]);
                if (n < 0) continue;
                if (g == 0 && !hasUart(sysDir, entry->d_name)) continue;
                groups[g].emplace_back(n, std::string(devDir) + "/" + entry->d_name);
            }
        }
        closedir(dir);
    }
    std::vector<std::string> paths;
    for (auto& group : groups) {
        std::sort(group.begin(), group.end());
        for (auto& device : group) paths.push_back(device.second);
    }
    return paths;
}
