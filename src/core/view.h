// What the link tells the window: the panel's three buttons, the connect retry
// timer, the warning timer, the socket's read notifications, the transfer
// warning, the log pane and the counter fields. The core owns this interface
// and calls it; each front end defines it (ui/win32, ui/posix, ui/gtk, and the
// tests' doubles). It is the one way a lower layer reaches the user interface.
//
// Window thread only, except wakeWindowThread. The pane's calls may come while
// the window thread holds the link lock: none of them waits for anything
// outside the program (a front end that copies the log elsewhere queues it).
#pragma once

#include <cstdint>

enum PanelButton { SettingsButton, ConnectButton, ListenButton };

void buttonSetCaption(PanelButton button, const char* caption);
void buttonSetId(PanelButton button, int id);
void buttonEnable(PanelButton button, bool enable);
void buttonFocus(PanelButton button);

constexpr int kConnectRetryTimer = 1;
constexpr uint32_t kConnectRetryMs = 2000;
void retryTimerStart(); // timer 1 on the panel, every 2000 ms
void retryTimerKill();

// Timer 2 on the panel, once: after ms (replacing an earlier request) the window
// thread runs onWarningTimer (core/warnings.h).
constexpr int kWarningTimer = 2;
void warningTimerStart(uint32_t ms);

// The UDP socket's read notifications, delivered on the window thread as the
// panel's socket notification, one per waiting datagram (WSAAsyncSelect with
// FD_READ on Windows). Start returns 1 on success, else 0 with the socket
// library's error (netLastError). Stop comes before the socket is closed.
int socketNotifyStart(uintptr_t socket);
void socketNotifyStop(uintptr_t socket);

// Yes/No box with the warning icon, owned by the panel; 1 for Yes.
int askYesNo(const char* text, const char* caption);

// The log pane: appends text at the end (select end, replace selection,
// scroll); empties it.
void paneAppend(const char* text);
void paneClear();
// Writes an unsigned decimal into a counter field (core/counter_ids.h).
void paneSetCounter(int controlId, uint32_t value);

// Any thread: asks the window thread to take the port thread's hand-offs
// (deliverHandOffs, takePortLost) soon.
void wakeWindowThread();
