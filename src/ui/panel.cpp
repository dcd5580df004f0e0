// The main panel: its initialisation and the dispatch of its commands, timer and
// socket notifications. Window thread only.
#include "ui/panel.h"

#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "core/protocol.h"
#include "core/view.h"
#include "core/warnings.h"
#include "net/endpoint.h"
#include "os/system.h"
#include "os/udp.h"
#include "ui/resource.h"
#include "ui/widgets.h"

namespace {

// Dialogs and message boxes open now. While one is open, the news of a lost
// serial device waits: the link ends once the dialog or box has returned, so
// that its answer never acts on a link already ended, nor leaves a side in a
// state it cannot leave.
int modalDepth = 0;

} // namespace

void modalBegin() { ++modalDepth; }

void modalEnd() {
    if (--modalDepth == 0) endLinkOfLostPort();
}

bool serialPortLostWaiting() {
    deliverHandOffs();
    SerialPort* lost = peekPortLost();
    return lost != nullptr && lost == linkState.serialPort;
}

void endLinkOfLostPort() {
    SerialPort* lost = takePortLost();
    // News of a port closed since (its thread ended on its own meanwhile) is old.
    if (lost != nullptr && lost == linkState.serialPort) onSerialPortLost();
}

int initPanel() {
    // Before anything can start the port thread; ended by shutdownProgram.
    timerPrecisionBegin();
    if (!startWinsock()) return 0;

    logPrintf("Initializing packet event...");
    WakeEvent* event = wakeEventCreate();
    if (event == nullptr) {
        logPrintf("CreateEvent() failed (error #%i).\r\n", int(lastSystemError()));
        return 0;
    }
    linkState.packetEvent = event;
    logPrintf("success\r\n");

    LinkState& s = linkState;
    char address[16];
    netFormatAddress(s.localAddresses[0], address);
    copyText(s.localIp, sizeof s.localIp, address);
    s.localPort = 3975;
    s.framePeriodMs = 20;
    s.vsyncAdjustIndex = 2;
    s.remotePort = 3975;
    copyText(s.serialPortName, sizeof s.serialPortName, "COM1");
    s.portWaitMs = 1;
    s.psxSendFlag = true;
    s.baudRate = 115200;

    buttonEnable(SettingsButton, true);
    return 1;
}

bool panelCommand(int id) {
    switch (id) {
    case IDC_LISTEN:
        beginListen();
        return true;
    case IDC_SETTINGS:
        modalBegin();
        runSettingsDialog();
        modalEnd();
        return true;
    case IDC_CONNECT:
        clearStatistics();
        modalBegin();
        runConnectDialog();
        modalEnd();
        return true;
    case IDC_CONNECT_CANCEL:
    case IDC_LISTEN_CANCEL:
        modalBegin(); // a disconnect may ask first
        endConnection(id == IDC_CONNECT_CANCEL ? ConnectButton : ListenButton);
        modalEnd();
        return true;
    default:
        return false;
    }
}

bool panelTimer(int id) {
    if (id == kWarningTimer) onWarningTimer();
    else onRetryTimer();
    return true;
}

bool panelSocketEvent(uint32_t error, bool readable) {
    if (error != 0) logPrintf("WARN: WSAGETSELECTERROR %i\r\n", int(error));
    if (readable) readDatagram();
    return true;
}

bool panelLogEvent(LogEvent event) {
    // The log never keeps the focus; a full log is emptied.
    if (event == LogFocused) panelFocus();
    else clearLog();
    return true;
}

void panelHandOffs() {
    deliverHandOffs();
    if (modalDepth == 0) endLinkOfLostPort();
}

void setStatsGroupsEnabled(bool enable) {
    panelEnableItem(IDC_LOCAL_GROUP, enable);
    panelEnableItem(IDC_REMOTE_GROUP, enable);
    panelEnableItem(IDC_STATUS_GROUP, enable);
}
