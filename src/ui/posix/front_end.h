// What the Linux front ends and tests see of the panel: the log text, the
// counters, the three buttons and the message boxes shown. With echo on, the
// log goes to standard output as it is appended and every message box is
// reported on standard error.
#pragma once

#include <cstdint>

#include "core/window_effects.h"

void frontEndEcho(bool on);

// The log pane holds at most this many characters; an append that would pass
// the limit empties it first.
constexpr int kLogLimit = 32767;
const char* paneText();
uint32_t paneCounter(int id); // what the counter field shows

struct ButtonView {
    char caption[32];
    int id;
    bool enabled;
};
ButtonView buttonView(PanelButton button);
int focusedButton(); // PanelButton, or -1 for the panel itself

// The answer given to Yes/No boxes from now on.
void setYesNoAnswer(bool yes);
// Records a message box (and reports it with echo on); used by every box.
void reportMessageBox(const char* caption, const char* text, const char* answer);

// Whether a control of the panel other than the three buttons is enabled (the
// three group boxes start disabled).
bool panelItemEnabled(int id);
