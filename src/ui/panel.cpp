// (being written)
#include "ui/panel.h"
int initPanel() { return 0; }
bool panelCommand(int, int) { return false; }
bool panelTimer() { return false; }
bool panelSocketNotify(uint32_t) { return false; }
void setStatsGroupsEnabled(bool) {}
void fillSettingsDialog(DialogWindow*) {}
int readSettingsDialog(DialogWindow*) { return 0; }
void settingsDialogOk(DialogWindow*) {}
void settingsDialogCancel(DialogWindow*) {}
void applyPriority() {}
void fillConnectDialog(DialogWindow*) {}
int readConnectDialog(DialogWindow*) { return 0; }
void connectDialogOk(DialogWindow*) {}
void connectDialogCancel(DialogWindow*) {}
void onMainWindowClose() {}
void shutdownProgram() {}
