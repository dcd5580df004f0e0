// Opening the console's serial port with the line settings and time-outs the
// serial side depends on, and closing it again with the port's own time-outs
// restored. Window thread.
#include "serial/serial_port.h"

#include <mutex>

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

// The ends of port threads, as the window thread and the threads see them. A
// thread that the window thread gave up waiting for keeps its port (and the
// saved time-outs to put back) until it ends, and then closes it itself; a
// thread that ended just as the window thread gave up leaves word that it did.
struct ThreadEnd {
    SerialPort* port; // null: a free entry
    bool abandoned;   // else: the thread has ended, and the window thread joins it
    CommTimeouts saved;
};
constexpr int kThreadEnds = 8;
std::mutex endsMutex;
ThreadEnd ends[kThreadEnds];
int abandonedThreads = 0;
WakeEvent* eventAfterLastEnd = nullptr; // packetEvent, closed when they have all ended

ThreadEnd* findEnd(SerialPort* port) {
    for (ThreadEnd& e : ends)
        if (e.port == port) return &e;
    return nullptr;
}

// Gives up on the thread of port, unless it has ended meanwhile (then false).
bool abandonThreadOf(SerialPort* port, const CommTimeouts& saved) {
    std::lock_guard<std::mutex> guard(endsMutex);
    if (ThreadEnd* ended = findEnd(port)) {
        ended->port = nullptr;
        return false;
    }
    // With every entry taken the port is never closed; the thread is still let go.
    if (ThreadEnd* free = findEnd(nullptr)) *free = ThreadEnd{port, true, saved};
    ++abandonedThreads;
    return true;
}

// The thread of port has been joined: word of its end is not needed.
void forgetEnd(SerialPort* port) {
    std::lock_guard<std::mutex> guard(endsMutex);
    if (ThreadEnd* e = findEnd(port)) e->port = nullptr;
}

} // namespace

void portThreadEnded(SerialPort* port) {
    if (port == nullptr) return;
    std::lock_guard<std::mutex> guard(endsMutex);
    ThreadEnd* e = findEnd(port);
    if (e == nullptr || !e->abandoned) {
        // The window thread joins it; it may be giving up just now.
        if (e == nullptr) e = findEnd(nullptr);
        if (e != nullptr) *e = ThreadEnd{port, false, CommTimeouts{}};
        return;
    }
    serialSetTimeouts(port, &e->saved);
    serialClose(port);
    e->port = nullptr;
    if (--abandonedThreads == 0 && eventAfterLastEnd != nullptr) {
        wakeEventClose(eventAfterLastEnd);
        eventAfterLastEnd = nullptr;
    }
}

void releasePacketEvent(WakeEvent* event) {
    if (event == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(endsMutex);
        if (abandonedThreads > 0) {
            eventAfterLastEnd = event; // a thread still running waits on it
            return;
        }
    }
    wakeEventClose(event);
}

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

    // Word of the end of a thread on an earlier port at this address is old.
    forgetEnd(port);

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
            if (abandonThreadOf(port, linkState.savedTimeouts)) {
                // The window goes on; the thread keeps its port, which is
                // neither closed nor freed under it, and closes it when it ends.
                // Its handle is never released: it may still run at exit.
                logPrintf("WARN: Port thread did not end, serial port not closed\r\n");
                LinkLock lock;
                linkState.serialPort = nullptr;
                return;
            }
            while (!threadWait(thread, 1)) deliverHandOffs(); // it is ending just now
        }
        threadRelease(thread);
        forgetEnd(port);
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
