// The panel's controls, its log pane, its timer, the socket's notifications and
// message boxes, and the controls of the two modal dialogs, as USER32 windows.
#include "core/view.h"
#include "ui/dialog_number.h"
#include "ui/widgets.h"
#include "ui/win32/win_ui.h"

#include <winsock.h>

namespace {

HWND asWindow(DialogWindow* dialog) { return reinterpret_cast<HWND>(dialog); }

uint32_t readNumber(DialogWindow* dialog, int id, bool isSigned) {
    HWND control = GetDlgItem(asWindow(dialog), id);
    char text[256];
    if (control == nullptr || GetWindowTextLengthA(control) >= int(sizeof text)) return 0;
    text[0] = '\0';
    GetWindowTextA(control, text, sizeof text);
    uint32_t value = 0;
    parseDialogNumber(text, isSigned, &value);
    return value;
}

HWND buttonWindow(PanelButton button) {
    switch (button) {
    case SettingsButton: return settingsButton;
    case ConnectButton: return connectButton;
    case ListenButton: return listenButton;
    }
    return nullptr;
}

} // namespace

// --- the panel's buttons, retry timer and transfer warning

void buttonSetCaption(PanelButton button, const char* caption) {
    SetWindowTextA(buttonWindow(button), caption);
}

// The pointer-sized form: SetWindowLongA itself in the 32-bit program.
void buttonSetId(PanelButton button, int id) {
    SetWindowLongPtrA(buttonWindow(button), GWLP_ID, LONG_PTR(id));
}

void buttonEnable(PanelButton button, bool enable) {
    EnableWindow(buttonWindow(button), enable ? TRUE : FALSE);
}

void buttonFocus(PanelButton button) { SetFocus(buttonWindow(button)); }

void retryTimerStart() { SetTimer(panelWindow, kConnectRetryTimer, kConnectRetryMs, nullptr); }

void retryTimerKill() { KillTimer(panelWindow, kConnectRetryTimer); }

void warningTimerStart(uint32_t ms) { SetTimer(panelWindow, kWarningTimer, ms, nullptr); }

// Read notifications arrive on the panel as WM_SOCKET_NOTIFY, one per waiting
// datagram; closing the socket ends them.
int socketNotifyStart(uintptr_t socket) {
    return WSAAsyncSelect(SOCKET(socket), panelWindow, WM_SOCKET_NOTIFY, FD_READ) == SOCKET_ERROR
               ? 0
               : 1;
}

void socketNotifyStop(uintptr_t) {}

int askYesNo(const char* text, const char* caption) {
    return MessageBoxA(panelWindow, text, caption, MB_YESNO | MB_ICONWARNING) == IDYES ? 1 : 0;
}

// --- the log pane and the counters

void paneAppend(const char* text) {
    SendMessageA(logEdit, EM_SETSEL, WPARAM(-1), LPARAM(-1));
    SendMessageA(logEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    SendMessageA(logEdit, EM_SCROLLCARET, 0, 0);
}

void paneClear() {
    SendMessageA(logEdit, EM_SETSEL, WPARAM(-1), LPARAM(-1));
    SendMessageA(logEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
}

void paneSetCounter(int controlId, uint32_t value) {
    SetDlgItemInt(panelWindow, controlId, UINT(value), FALSE);
}

void wakeWindowThread() { PostMessageA(panelWindow, WM_DELIVER_HANDOFFS, 0, 0); }

// --- dialog controls

void dlgSetText(DialogWindow* dialog, int id, const char* text) {
    SetDlgItemTextA(asWindow(dialog), id, text);
}

void dlgGetText(DialogWindow* dialog, int id, char* text, int size) {
    if (size <= 0) return;
    text[0] = '\0';
    GetDlgItemTextA(asWindow(dialog), id, text, size);
}

void dlgSetUint(DialogWindow* dialog, int id, uint32_t value) {
    SetDlgItemInt(asWindow(dialog), id, UINT(value), FALSE);
}

// Numbers are read with the program's own parser rather than GetDlgItemInt,
// whose implementations differ over trailing text and signs.
uint32_t dlgGetUint(DialogWindow* dialog, int id) { return readNumber(dialog, id, false); }

int32_t dlgGetInt(DialogWindow* dialog, int id) {
    return int32_t(readNumber(dialog, id, true));
}

void comboAdd(DialogWindow* dialog, int id, const char* text) {
    SendDlgItemMessageA(asWindow(dialog), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void comboSelectString(DialogWindow* dialog, int id, const char* text) {
    SendDlgItemMessageA(asWindow(dialog), id, CB_SELECTSTRING, WPARAM(-1),
                        reinterpret_cast<LPARAM>(text));
}

void comboSetSel(DialogWindow* dialog, int id, int index) {
    SendDlgItemMessageA(asWindow(dialog), id, CB_SETCURSEL, WPARAM(index), 0);
}

int comboGetSel(DialogWindow* dialog, int id) {
    return int(SendDlgItemMessageA(asWindow(dialog), id, CB_GETCURSEL, 0, 0));
}

void checkSet(DialogWindow* dialog, int id, bool checked) {
    CheckDlgButton(asWindow(dialog), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool checkGet(DialogWindow* dialog, int id) {
    return IsDlgButtonChecked(asWindow(dialog), id) == BST_CHECKED;
}

void dlgEnd(DialogWindow* dialog, int result) { EndDialog(asWindow(dialog), result); }

void errorBox(const char* text) { MessageBoxA(nullptr, text, "Error", MB_OK); }

// --- the panel and the main window

void panelEnableItem(int id, bool enable) {
    EnableWindow(GetDlgItem(panelWindow, id), enable ? TRUE : FALSE);
}

void panelFocus() { SetFocus(panelWindow); }

void runSettingsDialog() {
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS), panelWindow,
                    settingsDialogProc, 0);
}

void runConnectDialog() {
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONNECT), panelWindow,
                    connectDialogProc, 0);
}

void destroyMainWindow() { DestroyWindow(mainWindow); }
