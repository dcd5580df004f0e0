// A port on the simulated console ("sim" or "sim:<options>"): everything the
// Linux serial device layer does differently for it. Its end of the line is a
// stream socket, its modem lines and their change counts are the console's
// own, and its line settings are a record whose speed paces the console.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>

#include "os/serial_device.h"
#include "serial/posix/device_posix.h"
#include "serial/posix/sim_console.h"

struct SimPort {
    SimConsole* console = nullptr;
    std::mutex lock; // guards line
    LineSettings line{115200, 8, 0, 0};
};

bool simPortOpen(SerialPort* port, const char* name, uint32_t* error) {
    SimPort* sim = new (std::nothrow) SimPort;
    if (sim == nullptr) {
        *error = ENOMEM;
        return false;
    }
    int fd = -1;
    sim->console = simConsoleOpen(name, &fd, error);
    if (sim->console == nullptr) {
        if (*error == 0) *error = EINVAL;
        delete sim;
        return false;
    }
    port->sim = sim;
    port->fd = fd;
    port->lines = LinesSim;
    readLineCounts(port, &port->seen);
    return true;
}

void simPortClose(SerialPort* port) {
    simConsoleClose(port->sim->console);
    close(port->fd);
    delete port->sim;
    port->sim = nullptr;
}

int simPortGetLine(SerialPort* port, LineSettings* settings) {
    std::lock_guard<std::mutex> guard(port->sim->lock);
    *settings = port->sim->line;
    return 1;
}

int simPortSetLine(SerialPort* port, const LineSettings* settings) {
    {
        std::lock_guard<std::mutex> guard(port->sim->lock);
        port->sim->line = *settings;
    }
    simConsoleSetSpeed(port->sim->console, settings->baudRate);
    return 1;
}

uint32_t simPortModem(SerialPort* port) {
    return simConsoleModem(port->sim->console) & (MsCtsOn | MsDsrOn);
}

void simPortLineCounts(SerialPort* port, LineCounts* counts) {
    simConsoleLineCounts(port->sim->console, &counts->cts, &counts->dsr);
}

int simPortLineFd(SerialPort* port) { return simConsoleLineFd(port->sim->console); }

ssize_t simPortSend(SerialPort* port, const uint8_t* bytes, size_t count) {
    return send(port->fd, bytes, count, MSG_NOSIGNAL);
}
