// The window procedures of the Windows front end: the main window, the panel
// and the two modal dialogs. Each is a switch that passes the work on to the
// portable panel logic (ui/panel.h), translating the messages into the panel's
// own events.
#include <winsock.h>

#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "ui/panel.h"
#include "ui/widgets.h"
#include "ui/win32/win_ui.h"

HWND mainWindow = nullptr;
HWND panelWindow = nullptr;
HWND logEdit = nullptr;
HWND settingsButton = nullptr;
HWND connectButton = nullptr;
HWND listenButton = nullptr;

const char kMainWindowClass[] = "MyWin";
const char kSimEntry[] = "SIM";

namespace {
DialogWindow* asDialog(HWND window) { return reinterpret_cast<DialogWindow*>(window); }
} // namespace

void storePanelHandles(HWND panel) {
    // WinMain stores the panel again when CreateDialogParamA returns; taking it
    // here already lets everything the initialisation reaches use it.
    if (panelWindow == nullptr) panelWindow = panel;
    settingsButton = GetDlgItem(panel, IDC_SETTINGS);
    connectButton = GetDlgItem(panel, IDC_CONNECT);
    listenButton = GetDlgItem(panel, IDC_LISTEN);
    logEdit = GetDlgItem(panel, IDC_LOG);
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        onMainWindowClose(); // destroys the window when the user agrees
        return 0;
    case WM_DESTROY:
        shutdownProgram();
        PostQuitMessage(0);
        return 0;
    case WM_SETFOCUS:
        SetFocus(panelWindow);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK panelDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        storePanelHandles(window);
        setWindowThread();
        initPanel(); // enables Settings... when it succeeds
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_LOG) {
            // The edit control's notifications: those the panel takes, by its names.
            if (HIWORD(wParam) == EN_SETFOCUS) panelLogEvent(LogFocused);
            else if (HIWORD(wParam) == EN_MAXTEXT) panelLogEvent(LogFull);
            return TRUE;
        }
        return panelCommand(LOWORD(wParam)) ? TRUE : FALSE;
    case WM_TIMER:
        if (wParam == kWarningTimer) KillTimer(window, kWarningTimer); // it runs once
        return panelTimer(int(wParam)) ? TRUE : FALSE;
    case WM_SOCKET_NOTIFY:
        return panelSocketEvent(WSAGETSELECTERROR(lParam), WSAGETSELECTEVENT(lParam) == FD_READ)
                   ? TRUE
                   : FALSE;
    case WM_DELIVER_HANDOFFS:
        panelHandOffs();
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        fillSettingsDialog(asDialog(dialog));
        // The simulated console, after the four COM ports.
        comboAdd(asDialog(dialog), IDC_SERIAL_PORT, kSimEntry);
        comboSelectString(asDialog(dialog), IDC_SERIAL_PORT, linkState.serialPortName);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            settingsDialogOk(asDialog(dialog));
            return TRUE;
        case IDCANCEL:
            settingsDialogCancel(asDialog(dialog));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK connectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        fillConnectDialog(asDialog(dialog));
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            connectDialogOk(asDialog(dialog));
            return TRUE;
        case IDCANCEL:
            connectDialogCancel(asDialog(dialog));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
