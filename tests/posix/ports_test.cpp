// zavik ports: the devices of a /dev and the sysfs that describes them, both
// made in a folder of the test's own.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ui/cli/ports.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
}

void link(const fs::path& at, const fs::path& to) {
    fs::create_directories(at.parent_path());
    fs::create_directory_symlink(to, at);
}

TEST(Ports, NamesTheHardwareDriverAndTheUsbAdapter) {
    char name[] = "/tmp/zavik_ports_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path root = name;
    const fs::path dev = root / "dev", sys = root / "sys", devices = root / "devices";
    writeFile(dev / "ttyS0", "");
    writeFile(dev / "ttyUSB0", "");
    writeFile(sys / "ttyS0" / "type", "4");

    // A UART: the serial core's "port" and "ctrl" devices below the hardware's.
    const fs::path uart = devices / "pnp0" / "00:00";
    link(uart / "driver", root / "bus" / "pnp" / "drivers" / "serial");
    link(uart / "00:00:0" / "driver", root / "bus" / "serial-base" / "drivers" / "ctrl");
    link(uart / "00:00:0" / "00:00:0.0" / "driver", root / "bus" / "serial-base" / "drivers" / "port");
    link(sys / "ttyS0" / "device", uart / "00:00:0" / "00:00:0.0");

    // A USB adapter: the port, its interface, the USB device with its descriptors.
    const fs::path usb = devices / "usb1" / "1-1";
    writeFile(usb / "manufacturer", "FTDI");
    writeFile(usb / "product", "FT232R USB UART");
    writeFile(usb / "idVendor", "0403");
    writeFile(usb / "idProduct", "6001");
    link(usb / "1-1:1.0" / "ttyUSB0" / "driver", root / "bus" / "usb-serial" / "drivers" / "ftdi_sio");
    link(sys / "ttyUSB0" / "device", usb / "1-1:1.0" / "ttyUSB0");

    const std::vector<PortDescription> ports = describeSerialPorts(dev.c_str(), sys.c_str());
    fs::remove_all(root);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].path, (dev / "ttyS0").string());
    EXPECT_EQ(ports[0].driver, "serial");
    EXPECT_EQ(ports[0].description, "");
    EXPECT_EQ(ports[1].path, (dev / "ttyUSB0").string());
    EXPECT_EQ(ports[1].driver, "ftdi_sio");
    EXPECT_EQ(ports[1].description, "FTDI FT232R USB UART (0403:6001)");
}

} // namespace
