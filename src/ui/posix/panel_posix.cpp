// The panel of the Linux front ends: the log pane (in memory, echoed to standard
// output) and the three buttons as plain records. The counters are reported
// from the display's own memory of what it showed (core/counters.h), so their fields,
// the group boxes and the keyboard focus have nothing to keep here.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/link_state.h"
#include "core/view.h"
#include "ui/posix/front_end.h"
#include "ui/posix/output_queue.h"
#include "ui/resource.h"
#include "ui/widgets.h"

namespace {

bool echo = false;
OutputQueue* logOutput = nullptr;   // standard output
OutputQueue* eventOutput = nullptr; // standard error

// Sizes of the output queues: far more than a session logs while a reader is
// briefly busy, a small part of the program's memory.
constexpr size_t kLogOutputBytes = 256 * 1024;
constexpr size_t kEventOutputBytes = 64 * 1024;
// At the end, the readers have this long to take each part of what is queued.
constexpr uint32_t kFinishIdleMs = 5000;
char logText[kLogLimit + 1];
int logLength = 0;
ButtonView buttons[3] = {{"Settings...", IDC_SETTINGS, false},
                         {"Connect...", IDC_CONNECT, false},
                         {"Listen", IDC_LISTEN, false}};
bool answerYes = true;
void (*logSink)(const char*) = nullptr;
void (*boxSink)(const char*, const char*) = nullptr;

} // namespace

void frontEndEcho(bool on) {
    echo = on;
    if (on && logOutput == nullptr) {
        logOutput = outputQueueStart(STDOUT_FILENO, kLogOutputBytes,
                                     "WARN: %lu lines of the log dropped (output not read)\r\n");
        eventOutput = outputQueueStart(STDERR_FILENO, kEventOutputBytes,
                                       "error %lu event lines dropped (output not read)\n");
    }
}

void frontEndEvent(const char* line) {
    if (!echo) return;
    outputQueueWrite(eventOutput, line, std::strlen(line));
    outputQueueWrite(eventOutput, "\n", 1);
}

void frontEndFinish() {
    echo = false;
    outputQueueFinish(logOutput, kFinishIdleMs);
    outputQueueFinish(eventOutput, kFinishIdleMs);
    logOutput = eventOutput = nullptr;
}

void frontEndLogSink(void (*sink)(const char* text)) { logSink = sink; }

void frontEndWriteLog(const char* text, size_t length) {
    if (echo) outputQueueWrite(logOutput, text, length);
}

void frontEndMessageBoxSink(void (*sink)(const char* caption, const char* text)) { boxSink = sink; }

const char* paneText() { return logText; }

void paneAppend(const char* text) {
    size_t length = std::strlen(text);
    if (logLength + length > size_t(kLogLimit)) {
        logLength = 0;
        if (length > size_t(kLogLimit)) length = size_t(kLogLimit);
    }
    std::memcpy(logText + logLength, text, length);
    logLength += int(length);
    logText[logLength] = '\0';
    if (logSink != nullptr) logSink(text);
    else if (echo) outputQueueWrite(logOutput, text, std::strlen(text));
}

void paneClear() {
    logLength = 0;
    logText[0] = '\0';
}

void paneSetCounter(int, uint32_t) {}

ButtonView buttonView(PanelButton b) { return buttons[b]; }

void buttonSetCaption(PanelButton b, const char* caption) {
    copyText(buttons[b].caption, sizeof buttons[b].caption, caption);
}
void buttonSetId(PanelButton b, int id) { buttons[b].id = id; }
void buttonEnable(PanelButton b, bool enable) { buttons[b].enabled = enable; }
void buttonFocus(PanelButton) {}

void setYesNoAnswer(bool yes) { answerYes = yes; }

void reportMessageBox(const char* caption, const char* text, const char* answer) {
    if (boxSink != nullptr) {
        boxSink(caption, text);
        return;
    }
    char line[1200];
    std::snprintf(line, sizeof line, "messagebox %s|%s|%s", caption, text, answer);
    frontEndEvent(line);
}

int askYesNo(const char* text, const char* caption) {
    reportMessageBox(caption, text, answerYes ? "yes" : "no");
    return answerYes ? 1 : 0;
}

void panelEnableItem(int, bool) {}
void panelFocus() {}

const char* connectionStateName(int32_t state) {
    switch (state) {
    case Idle: return "Idle";
    case Connecting: return "Connecting";
    case Listening: return "Listening";
    case Connected: return "Connected";
    }
    return "Unknown";
}
