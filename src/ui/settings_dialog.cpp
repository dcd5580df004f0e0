// The Settings dialog: showing and reading the settings, and the start of the
// link when it is accepted. Window thread, inside the dialog's own loop.
#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "net/endpoint.h"
#include "os/system.h"
#include "os/udp.h"
#include "serial/port_thread.h"
#include "serial/serial_port.h"
#include "ui/panel.h"
#include "ui/resource.h"
#include "ui/widgets.h"

namespace {

const char* const kSerialPorts[4] = {"COM1", "COM2", "COM3", "COM4"};
const char* const kPortSpeeds[4] = {"115200", "57600", "19200", "9600"};
const char* const kVsyncAdjustments[5] = {"-2", "-1", "0", "1", "2"};

constexpr int32_t kShortPortWaitMs = 1;
constexpr int32_t kLongPortWaitMs = 20;

} // namespace

void fillSettingsDialog(DialogWindow* dialog) {
    const LinkState& s = linkState;

    // The first local address is the one shown, wherever it sorts.
    int count = s.localAddressCount;
    if (count > kMaxLocalAddresses) count = kMaxLocalAddresses;
    for (int i = 0; i < count; ++i) {
        char address[16];
        netFormatAddress(s.localAddresses[i], address);
        comboAdd(dialog, IDC_LOCAL_ADDRESS, address);
        if (i == 0) comboSelectString(dialog, IDC_LOCAL_ADDRESS, address);
    }

    dlgSetUint(dialog, IDC_LOCAL_PORT, s.localPort);

    for (int i = 0; i < 4; ++i) {
        comboAdd(dialog, IDC_SERIAL_PORT, kSerialPorts[i]);
        comboAdd(dialog, IDC_PORT_SPEED, kPortSpeeds[i]);
        comboAdd(dialog, IDC_VSYNC_ADJUST, kVsyncAdjustments[i]);
    }
    comboAdd(dialog, IDC_VSYNC_ADJUST, kVsyncAdjustments[4]);

    comboSetSel(dialog, IDC_VSYNC_ADJUST, s.vsyncAdjustIndex);
    comboSelectString(dialog, IDC_SERIAL_PORT, s.serialPortName);
    dlgSetUint(dialog, IDC_PORT_SPEED, s.baudRate);
    checkSet(dialog, IDC_INCREASE_PORT_TIME, s.portWaitMs == kLongPortWaitMs);
    checkSet(dialog, IDC_HIGH_PRIORITY, s.highPriority);
}

// Each value is stored the moment it is read, so what was read before a
// refusal stays in force.
int readSettingsDialog(DialogWindow* dialog) {
    LinkState& s = linkState;

    dlgGetText(dialog, IDC_LOCAL_ADDRESS, s.localIp, netAddressTextSize());
    SocketAddress local{};
    if (!netMakeAddress(s.localIp, 0, &local)) {
        errorBox("Valid local IP required");
        return 0;
    }

    uint32_t port = dlgGetUint(dialog, IDC_LOCAL_PORT);
    if (port < 1 || port > 49999) {
        errorBox("Valid socket port required");
        return 0;
    }
    s.localPort = uint16_t(port);

    dlgGetText(dialog, IDC_SERIAL_PORT, s.serialPortName, int(sizeof s.serialPortName));
    s.baudRate = dlgGetUint(dialog, IDC_PORT_SPEED);
    s.vsyncAdjustMs = dlgGetInt(dialog, IDC_VSYNC_ADJUST);
    s.vsyncAdjustIndex = comboGetSel(dialog, IDC_VSYNC_ADJUST);

    if (checkGet(dialog, IDC_INCREASE_PORT_TIME)) {
        s.portWaitMs = kLongPortWaitMs;
        setStatsGroupsEnabled(false);
    } else {
        s.portWaitMs = kShortPortWaitMs;
        setStatsGroupsEnabled(true);
    }
    s.highPriority = checkGet(dialog, IDC_HIGH_PRIORITY);
    return 1;
}

void settingsDialogOk(DialogWindow* dialog) {
    if (!readSettingsDialog(dialog)) return; // the dialog stays open
    dlgEnd(dialog, 0);

    // Whatever an earlier start opened is closed first, the port thread with it;
    // Connect and Listen stay disabled until this start has succeeded.
    closeLink();
    buttonEnable(ConnectButton, false);
    buttonEnable(ListenButton, false);
    if (!openSerialPort()) return;
    if (!openUdpSocket()) return;
    if (!armSocketNotification()) return;

    logPrintf("Starting port thread...");
    ThreadHandle* thread = threadStart(portThreadMain);
    linkState.portThread = thread;
    if (thread == nullptr) {
        logPrintf("CreateThread() failed (error #%i).\r\n", int(lastSystemError()));
        return;
    }
    applyPriority();
    logPrintf("success\r\n");
    buttonEnable(ConnectButton, true);
    buttonEnable(ListenButton, true);
}

void settingsDialogCancel(DialogWindow* dialog) { dlgEnd(dialog, 0); }

void applyPriority() {
    bool high = linkState.highPriority;
    processSetHighPriority(high);
    threadSetPriority(linkState.portThread, high ? ThreadPriorityNormal : ThreadPriorityHighest);
}
