// Zavik's entry on Windows: the main window with the panel as its only child,
// sized to fit it, and the window thread's message loop.
#include <windows.h>

#include "ui/win32/win_ui.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
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
