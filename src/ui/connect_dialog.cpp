// The Connect dialog: the peer's address and port, and the start of a
// connection attempt. Window thread, inside the dialog's own loop.
#include "core/link_state.h"
#include "core/protocol.h"
#include "core/view.h"
#include "os/udp.h"
#include "ui/panel.h"
#include "ui/resource.h"
#include "ui/widgets.h"

void fillConnectDialog(DialogWindow* dialog) {
    // The last entries, or the last peer that reached this side.
    if (linkState.remoteIp[0] != '\0') dlgSetText(dialog, IDC_REMOTE_ADDRESS, linkState.remoteIp);
    if (linkState.remotePort != 0) dlgSetUint(dialog, IDC_REMOTE_PORT, linkState.remotePort);
}

// The address and the port are each stored before they are tested, so a
// refused entry is shown again next time.
int readConnectDialog(DialogWindow* dialog) {
    LinkState& s = linkState;

    dlgGetText(dialog, IDC_REMOTE_ADDRESS, s.remoteIp, netAddressTextSize());
    SocketAddress peer{};
    if (s.remoteIp[0] == '\0' || !netMakeAddress(s.remoteIp, 0, &peer)) {
        errorBox("Valid IP address required");
        return 0;
    }

    uint16_t port = uint16_t(dlgGetUint(dialog, IDC_REMOTE_PORT)); // low 16 bits
    s.remotePort = port;
    if (port == 0 || port > 49999) {
        errorBox("Valid socket port required");
        return 0;
    }
    return 1;
}

void connectDialogOk(DialogWindow* dialog) {
    if (!readConnectDialog(dialog)) return; // the dialog stays open
    dlgEnd(dialog, 0);
    // The device was lost while the dialog was open: the link ends, and no
    // attempt starts on a port being closed.
    if (serialPortLostWaiting()) return;
    if (beginConnect() == 1) enterConnecting();
}

void connectDialogCancel(DialogWindow* dialog) {
    dlgEnd(dialog, 0);
    buttonFocus(ConnectButton);
}
