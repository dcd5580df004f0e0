// The main panel, the Settings and Connect dialogs and the main window's close
// and shutdown, written once over ui/widgets.h. Window thread only.
#pragma once

#include <cstdint>

struct DialogWindow;

// The panel's initialisation (after the front end stored its control handles):
// WinSock, packetEvent, the defaults; enables Settings... on success.
int initPanel();
// The panel's dispatch. Each returns whether the message was handled.
bool panelCommand(int id, int notification);
bool panelTimer(int id); // the panel's timer 1 (retry) or 2 (warnings)
bool panelSocketNotify(uint32_t lParam);
// The port thread's hand-offs, at the top of the window thread's loop (the
// port thread's wake-up): its log lines and counters, and the end of the link
// when its serial device was lost.
void panelHandOffs();
// Around a modal dialog or message box of the panel: a lost serial device's
// news that comes while one is open ends the link when the last one returns.
void modalBegin();
void modalEnd();
// Whether the current port's device was lost and the link not yet ended.
bool serialPortLostWaiting();
// Ends the link if the current port's device was lost.
void endLinkOfLostPort();
void setStatsGroupsEnabled(bool enable);

// Settings dialog.
void fillSettingsDialog(DialogWindow* dialog);
int readSettingsDialog(DialogWindow* dialog);
void settingsDialogOk(DialogWindow* dialog); // the start sequence
void settingsDialogCancel(DialogWindow* dialog);
void applyPriority();

// Connect dialog.
void fillConnectDialog(DialogWindow* dialog);
int readConnectDialog(DialogWindow* dialog);
void connectDialogOk(DialogWindow* dialog);
void connectDialogCancel(DialogWindow* dialog);

// Closes the socket, then the serial port (ending the port thread first); may
// be called at any time.
void closeLink();
// The port thread ended because its device stopped answering: the peer is
// told, the side is Idle, the port closed; Settings... chooses another.
void onSerialPortLost();

// The main window's close box; destroys the window when confirmed.
void onMainWindowClose();
void shutdownProgram();

// Edit-control notifications of the log that the panel handles.
constexpr int kLogSetFocus = 0x0100; // EN_SETFOCUS
constexpr int kLogMaxText = 0x0501;  // EN_MAXTEXT
