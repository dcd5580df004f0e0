// The controls of the panel and of the two modal dialogs, as the portable
// interface logic drives them. Each front end defines these: USER32 on Windows,
// a model of the controls in the headless front end, a recording double in tests.
#pragma once

#include <cstdint>

struct DialogWindow; // an open modal dialog

void dlgSetText(DialogWindow* dialog, int id, const char* text);
void dlgGetText(DialogWindow* dialog, int id, char* text, int size);
void dlgSetUint(DialogWindow* dialog, int id, uint32_t value); // unsigned decimal
uint32_t dlgGetUint(DialogWindow* dialog, int id);             // 0 when not a number
int32_t dlgGetInt(DialogWindow* dialog, int id);               // signed; 0 when not a number
void comboAdd(DialogWindow* dialog, int id, const char* text);
// Selects the first item that begins with text, without regard to case.
void comboSelectString(DialogWindow* dialog, int id, const char* text);
void comboSetSel(DialogWindow* dialog, int id, int index);
int comboGetSel(DialogWindow* dialog, int id);
void checkSet(DialogWindow* dialog, int id, bool checked);
bool checkGet(DialogWindow* dialog, int id);
void dlgEnd(DialogWindow* dialog, int result);

// Message box captioned "Error" with an OK button, owned by no window.
void errorBox(const char* text);

// The panel's own controls.
void panelEnableItem(int id, bool enable);
void panelFocus();

// Opens a modal dialog owned by the panel; returns when it has ended.
void runSettingsDialog();
void runConnectDialog();

// The main window: destroy it (the front end then calls shutdownProgram).
void destroyMainWindow();
