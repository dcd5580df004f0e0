// Zavik's entry on Windows: the main window with the panel as its only child,
// sized to fit it, and the window thread's message loop.
//
// The one argument it takes: "sim:<options>" (for example
// sim:size=12,start=0) gives the simulated console's options, which the
// Settings list's entry "SIM" then opens, and chooses that entry. Anything
// else on the command line is ignored.
#include <windows.h>

#include <cstring>

#include "core/link_state.h"
#include "serial/sim/sim_options.h"
#include "serial/win32/device_win32.h"
#include "ui/win32/win_ui.h"

namespace {

// The first word of the command line, if it names the simulated console.
bool simOptionsGiven(const char* commandLine, char* word, size_t size) {
    while (*commandLine == ' ' || *commandLine == '\t') ++commandLine;
    size_t n = strcspn(commandLine, " \t");
    if (n == 0 || n >= size) return false;
    memcpy(word, commandLine, n);
    word[n] = '\0';
    return simConsoleNamed(word);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    // The record starts zero and the panel's initialisation sets the defaults;
    // loss recovery is offered to every peer (one that does not offer back
    // never sees more than the offers).
    linkState.recovery.enabled = true;
    static char simOptions[256];
    const bool simChosen =
        simOptionsGiven(commandLine != nullptr ? commandLine : "", simOptions, sizeof simOptions);
    if (simChosen) simPortChoose(simOptions);

    WNDCLASSA windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    windowClass.hCursor = nullptr;
    windowClass.hbrBackground = nullptr;
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kMainWindowClass;
    if (RegisterClassA(&windowClass) == 0) return 0;

    // "Zavik 0.1" and the byte 0xDF (a sharp s in the ANSI code page).
    static const char caption[] = "Zavik 0.1\xDF";
    mainWindow = CreateWindowExA(0, kMainWindowClass, caption,
                                 WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                 instance, nullptr);
    if (mainWindow == nullptr) return 1;

    panelWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PANEL), mainWindow,
                                     panelDialogProc, 0);
    if (panelWindow == nullptr) {
        DestroyWindow(mainWindow); // shuts down what there is and posts WM_QUIT
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
        return 1;
    }

    // The panel's initialisation has set the defaults.
    if (simChosen) copyText(linkState.serialPortName, sizeof linkState.serialPortName, kSimEntry);

    // The main window's client area is exactly the panel.
    RECT bounds;
    GetWindowRect(panelWindow, &bounds);
    AdjustWindowRect(&bounds, WS_CAPTION, FALSE);
    SetWindowPos(mainWindow, nullptr, 0, 0, bounds.right - bounds.left,
                 bounds.bottom - bounds.top, SWP_NOMOVE);

    ShowWindow(panelWindow, SW_SHOW);
    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);

    MSG message;
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (panelWindow != nullptr && IsDialogMessageA(panelWindow, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return int(message.wParam);
}
