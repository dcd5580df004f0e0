// Opening the console's serial port with the line settings and time-outs the
// serial side depends on, and closing it again with the port's own time-outs
// restored. Window thread.
#include "serial/serial_port.h"

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "os/serial_device.h"
#include "os/system.h"

namespace {

constexpr uint32_t kQueueBytes = 1200;

// A read ends 5 ms after the last byte or 10 ms after it began; a write ends
// at most 30 ms after it began.
constexpr CommTimeouts kLinkTimeouts{5, 0, 10, 0, 30};

// The port thread ends within a turn of its loop once the port is closing. A
// thread that is still running after this long is stuck in the device.
constexpr uint32_t kThreadEndMs = 3000;

} // namespace

int openSerialPort() {
    logPrintf("Opening serial port %s ...", linkState.serialPortName);
    uint32_t error = 0;
    SerialPort* port = serialOpen(linkState.serialPortName, &error);
    if (port == nullptr) {
        logPrintf("failed (error #%i).\r\n", int(error));
        return 0;
    }
    logPrintf("success\r\n");
    if (const char* method = serialLineMethod(port)) logPrintf("Line changes %s\r\n", method);

    // A device that opens counts as opened even if it refuses a setting.
    serialSetQueues(port, kQueueBytes, kQueueBytes);
    LineSettings line{};
    serialGetLine(port, &line);
    line.baudRate = linkState.baudRate;
    line.byteSize = 8;
    line.parity = 0;
    line.stopBits = 0;
    serialSetLine(port, &line);
    serialGetTimeouts(port, &linkState.savedTimeouts);
    serialSetTimeouts(port, &kLinkTimeouts);

    // Visible to the rest of the program only once it is configured.
    LinkLock lock;
    linkState.serialPort = port;
    return 1;
}

void closeSerialPort() {
    SerialPort* port;
    {
        LinkLock lock;
        port = linkState.serialPort;
    }
    if (port == nullptr) return;

    // End the port thread first, so that nothing of it reaches a closed handle
    // or a port opened after this. Its log lines keep arriving while it ends.
    serialEndWaits(port);
    if (linkState.portThread != nullptr) {
        ThreadHandle* thread = linkState.portThread;
        linkState.portThread = nullptr;
        const uint32_t start = clockMs();
        int ended;
        while (!(ended = threadWait(thread, 1)) && clockMs() - start < kThreadEndMs)
            deliverHandOffs();
        if (!ended) {
            // The window goes on; the thread keeps its port, which is neither
            // closed nor freed under it.
            logPrintf("WARN: Port thread did not end, serial port not closed\r\n");
            LinkLock lock;
            linkState.serialPort = nullptr;
            return;
        }
        threadRelease(thread);
        // Its last lines, and news of its end that is old now.
        deliverHandOffs();
        takePortLost();
    }

    serialSetTimeouts(port, &linkState.savedTimeouts);
    logPrintf("Closing serial port\r\n");
    serialClose(port);
    LinkLock lock;
    linkState.serialPort = nullptr;
}
