// The main window's close box and the program's shutdown. Window thread.
#include "core/link_state.h"
#include "core/log.h"
#include "os/system.h"
#include "core/protocol.h"
#include "os/udp.h"
#include "serial/serial_port.h"
#include "ui/panel.h"
#include "ui/widgets.h"

void onMainWindowClose() {
    if (confirmLeave("Program Exit") != 0) destroyMainWindow();
}

void shutdownProgram() {
    linkState.stopPortThread = true;
    closeLink(); // the socket, then the port, ending the port thread first
    if (linkState.packetEvent != nullptr) {
        wakeEventClose(linkState.packetEvent);
        linkState.packetEvent = nullptr;
    }
    netCleanup();
}
