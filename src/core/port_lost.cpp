// The lost device's news: one slot, written by the port thread after its last
// log line has been queued, read by the window thread, which delivers the
// queued lines before it acts on the news.
#include "core/port_lost.h"

#include <atomic>

#include "core/log.h"
#include "core/view.h"

namespace {
std::atomic<SerialPort*> lostPort{nullptr};
} // namespace

void handOverPortLost(SerialPort* port) {
    lostPort.store(port);
    if (!onWindowThread()) wakeWindowThread();
}

SerialPort* takePortLost() {
    SerialPort* port = lostPort.exchange(nullptr);
    if (port != nullptr && onWindowThread()) deliverHandOffs();
    return port;
}

SerialPort* peekPortLost() { return lostPort.load(); }
