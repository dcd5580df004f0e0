// The main window's close box, the closing of the link (also when its serial
// device is lost) and the program's shutdown. Window thread.
#include "core/link_state.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/warnings.h"
#include "net/endpoint.h"
#include "os/system.h"
#include "os/udp.h"
#include "serial/serial_port.h"
#include "ui/panel.h"
#include "ui/widgets.h"

void closeLink() {
    closeUdpSocket();
    closeSerialPort(); // ending the port thread first
}

void onSerialPortLost() {
    logPrintf("Serial device lost, link stopped\r\n");
    endConnectionForLostPort();
    closeSerialPort();
}

void onMainWindowClose() {
    // The question during a transfer; a device lost meanwhile ends the link
    // afterwards, unless the program has closed (and closed the port) by then.
    modalBegin();
    if (confirmLeave("Program Exit") != 0) destroyMainWindow();
    modalEnd();
}

void shutdownProgram() {
    flushRepeatedWarnings(); // the repeats counted and not yet written
    linkState.stopPortThread = true; // seen when the port's close wakes the thread
    closeLink(); // the socket, then the port, ending the port thread first
    // A port thread that did not end keeps the event until it does.
    releasePacketEvent(linkState.packetEvent);
    linkState.packetEvent = nullptr;
    netCleanup();
    timerPrecisionEnd(); // the port thread has ended
}
