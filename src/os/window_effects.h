// The panel's effects that the connection protocol causes: its three buttons,
// the connect retry timer and the transfer warning. Defined by each front end.
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

// Yes/No box with the warning icon, owned by the panel; 1 for Yes.
int askYesNo(const char* text, const char* caption);
