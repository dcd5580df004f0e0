// The main panel, the Settings and Connect dialogs and the main window's close
// and shutdown, written once over ui/widgets.h. Window thread only.
#pragma once

#include <cstdint>

struct DialogWindow;

// The panel's initialisation (after the front end stored its control handles):
// WinSock, packetEvent, the defaults; enables Settings... on success.
int initPanel();
// What the window thread's loop delivers to the panel, in the program's own
// terms; each front end translates its toolkit's events into these. Each
// returns whether the event was the panel's.
//
// The loop contract. Every front end's loop (the Windows message loop,
// ui/posix/window_loop.cpp, ui/gtk/loop_gtk.cpp) runs on the window thread and
// provides:
// - the panel's two timers (core/view.h): the connect retry, every
//   kConnectRetryMs from retryTimerStart until retryTimerKill, a new start
//   replacing the running one; the warning timer, once, warningTimerStart's
//   time after its last start. Each fires as panelTimer(its id).
// - socket read notifications: between socketNotifyStart and socketNotifyStop,
//   one panelSocketEvent(0, true) per wake-up while a datagram waits
//   (level-triggered: every waiting datagram gets one), with the socket
//   library's error where it reports one.
// - wakes from the port thread: wakeWindowThread, callable from any thread,
//   allocating nothing, makes the loop call panelHandOffs soon; the loop also
//   calls it before it first waits.
// - close signals (Linux: SIGINT, SIGTERM, SIGHUP; Windows: the close box):
//   onMainWindowClose, as the main window's close box.
// - the panel's buttons: panelCommand with the button's current id, and the
//   log pane's events: panelLogEvent.
bool panelCommand(int id);
bool panelTimer(int id); // the panel's timer 1 (retry) or 2 (warnings)
// A read notification of the UDP socket: its error (0 for none), and whether
// a datagram waits to be read.
bool panelSocketEvent(uint32_t error, bool readable);
// The port thread's hand-offs: its log lines and counters, and the end of the
// link when its serial device was lost.
void panelHandOffs();
// Around a modal dialog or message box of the panel: a lost serial device's
// news that comes while one is open ends the link when the last one returns.
void modalBegin();
void modalEnd();
// Whether the current port's device was lost and the link not yet ended.
bool serialPortLostWaiting();
// Ends the link if the current port's device was lost.
void endLinkOfLostPort();
// The log pane took the focus (the log never keeps it), or is full (emptied).
enum LogEvent { LogFocused, LogFull };
bool panelLogEvent(LogEvent event);
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
