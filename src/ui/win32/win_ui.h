// The Windows front end: the window handles stored at start-up and the window
// and dialog procedures. Window thread only, except wakeWindowThread.
#pragma once

#include <windows.h>

// winuser.h names a cursor IDC_SIZE; ours is the Size counter of the panel.
#undef IDC_SIZE
#include "ui/resource.h"

extern HWND mainWindow;  // stored by WinMain, never changed
extern HWND panelWindow; // the modeless panel dialog
extern HWND logEdit;     // IDC_LOG
extern HWND settingsButton;
extern HWND connectButton;
extern HWND listenButton;

// Posted to the panel by the port thread: deliver the hand-offs waiting for the
// window thread (log lines, counter writes).
constexpr UINT WM_DELIVER_HANDOFFS = WM_APP + 1;

extern const char kMainWindowClass[];
// The Settings list's entry for the simulated console.
extern const char kSimEntry[];
LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK panelDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK connectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Takes the handles of the panel's log and buttons (and the panel itself when
// start-up has not stored it yet). The first thing the panel's WM_INITDIALOG does.
void storePanelHandles(HWND panel);
