// The serial device on Linux: a port is a terminal device or the simulated
// console, a backend each (tty_posix.cpp, sim_port_posix.cpp), chosen here
// once, by the port's name, when it opens. What differs between them goes
// through the port's backend; reads, writes and waits are shared.
#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "os/serial_device.h"
#include "serial/posix/device_posix.h"
#include "serial/sim/sim_options.h"

SerialPort* serialOpen(const char* name, uint32_t* error) {
    *error = 0;
    writeTimesOpen();
    if (name == nullptr || name[0] == '\0') {
        *error = ENOENT;
        return nullptr;
    }
    SerialPort* port = new (std::nothrow) SerialPort;
    if (port == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    port->controlFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->controlFd < 0) {
        *error = uint32_t(errno);
        delete port;
        return nullptr;
    }
    port->backend = simConsoleNamed(name) ? &simBackend : &ttyBackend;
    if (port->backend->open(port, name, error)) return port;
    close(port->controlFd);
    delete port;
    return nullptr;
}

void serialClose(SerialPort* port) {
    if (port == nullptr) return;
    writeTimesSave();
    port->backend->close(port);
    close(port->controlFd);
    delete port;
}

int serialGetLine(SerialPort* port, LineSettings* settings) {
    return port->backend->getLine(port, settings);
}

int serialSetLine(SerialPort* port, const LineSettings* settings) {
    if (settings->baudRate == 0 || settings->byteSize < 5 || settings->byteSize > 8 ||
        settings->parity > 4 || settings->stopBits > 2) {
        errno = EINVAL;
        return 0;
    }
    return port->backend->setLine(port, settings);
}

int serialModemStatus(SerialPort* port, uint32_t* status) {
    *status = 0;
    return port->backend->modemStatus(port, status);
}
