// The panel of the Linux front ends: the log pane (in memory, echoed to standard
// output) and the three buttons as plain records. The counters are reported
// from the display's own memory of what it showed (ui/counters.h), so their fields,
// the group boxes and the keyboard focus have nothing to keep here.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/link_state.h"
#include "os/pane.h"
#include "os/window_effects.h"
#include "ui/posix/front_end.h"
#include "ui/resource.h"
#include "ui/widgets.h"

namespace {

bool echo = false;
char logText[kLogLimit + 1];
int logLength = 0;
ButtonView buttons[3] = {{"Settings...", IDC_SETTINGS, false},
                         {"Connect...", IDC_CONNECT, false},
                         {"Listen", IDC_LISTEN, false}};
bool answerYes = true;

void writeAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0) return;
        text += n;
        length -= size_t(n);
    }
}

} // namespace

void frontEndEcho(bool on) { echo = on; }

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
    if (echo) writeAll(STDOUT_FILENO, text, std::strlen(text));
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
    if (!echo) return;
    char line[1200];
    int n = std::snprintf(line, sizeof line, "messagebox %s|%s|%s\n", caption, text, answer);
    if (n > 0) writeAll(STDERR_FILENO, line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

int askYesNo(const char* text, const char* caption) {
    reportMessageBox(caption, text, answerYes ? "yes" : "no");
    return answerYes ? 1 : 0;
}

void panelEnableItem(int, bool) {}
void panelFocus() {}
