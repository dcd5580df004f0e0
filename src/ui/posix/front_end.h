// What the Linux front ends and tests see of the panel: the log text and the
// three buttons. With echo on, the log goes to standard output as it is
// appended and every message box is reported on standard error, each through
// an output queue (ui/posix/output_queue.h), so that a reader that stops
// reading never holds up the window thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/view.h"

void frontEndEcho(bool on);
// An event line on standard error (with echo on); the line end is added.
void frontEndEvent(const char* line);
// Ends the echo: what is queued is written out while the readers take it.
void frontEndFinish();
// A front end that draws the log its own way (zavik on a terminal): from now on
// each appended text goes to sink instead of standard output, and the sink
// writes what it draws with frontEndWriteLog, through the same queue.
void frontEndLogSink(void (*sink)(const char* text));
void frontEndWriteLog(const char* text, size_t length);
// The same for message boxes: sink takes each one instead of its event line.
void frontEndMessageBoxSink(void (*sink)(const char* caption, const char* text));

// The log pane holds at most this many characters; an append that would pass
// the limit empties it first.
constexpr int kLogLimit = 32767;
const char* paneText();

struct ButtonView {
    char caption[32];
    int id;
    bool enabled;
};
ButtonView buttonView(PanelButton button);

// The answer given to Yes/No boxes from now on.
void setYesNoAnswer(bool yes);
// Reports a message box on standard error (with echo on); used by every box.
void reportMessageBox(const char* caption, const char* text, const char* answer);

// The link's state as the Linux front ends report it: "Idle", "Connecting",
// "Listening" or "Connected".
const char* connectionStateName(int32_t state);
