// The panel's effects that the link causes: its three buttons, the connect
// retry timer, the transfer warning and the counters' refresh. Defined by the
// user interface above (the counters' refresh once, in ui/; the rest by each
// front end).
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

// Brings the counter fields up to date, at most every 250 ms, while the console
// is active. Port thread, with the time its idle tick read.
void refreshStatistics(uint32_t now);
// Milliseconds from now until that refresh is due: 0 when it is,
// kNoTimeout while the console is not active.
uint32_t msUntilRefresh(uint32_t now);
