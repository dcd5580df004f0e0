// zavik-headless: the whole program on Linux with the window replaced by text.
//
// Standard output carries exactly what is appended to the log pane. Standard
// error carries one line per front-end event: a message box ("messagebox
// <caption>|<text>|<answer>"), a reply to "status", or "error <reason>" for a
// command that cannot be carried out. Standard input takes one command per
// line, carried out on the window thread as a person would at the window:
//
//   settings <address> <port> <serial> [increase-port-time] [high-priority] [vsync=<-2..2>]
//   connect <address> <port>
//   connect-cancel
//   click <id>            (1012, 1060 or 1061: the Listen or Cancel/Disconnect buttons)
//   answer yes|no         (the answer to the transfer warning from now on)
//   status
//   close                 (the main window's close box)
//
// --no-recovery: the side offers no loss recovery, as a program that knows only
// the first four datagram types.
//
// The end of the input closes the window too, and so do SIGINT, SIGTERM and
// SIGHUP (a second SIGINT ends the program at once).
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/counters.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/view.h"
#include "ui/dialog_number.h"
#include "ui/panel.h"
#include "ui/posix/front_end.h"
#include "ui/posix/headless.h"
#include "ui/posix/process_ends.h"
#include "ui/posix/window_loop.h"
#include "ui/resource.h"
#include "ui/widgets.h"

// ---- commands ----

namespace {

void writeLine(const std::string& line) { frontEndEvent(line.c_str()); }

void reportError(const std::string& reason) { writeLine("error " + reason); }

std::string buttonText(PanelButton b) {
    ButtonView v = buttonView(b);
    return std::string(v.caption) + ":" + std::to_string(v.id) + ":" + (v.enabled ? "1" : "0");
}

std::string numberList(const uint32_t values[10]) {
    std::string s;
    for (int i = 0; i < 10; ++i) {
        if (i > 0) s += ",";
        s += std::to_string(values[i]);
    }
    return s;
}

void reportStatus() {
    uint32_t shown[10], values[10];
    statisticsShown(shown);
    statisticsValues(values);
    writeLine(std::string("status state=") + connectionStateName(linkState.connectionState.load()) +
              " settings=" + buttonText(SettingsButton) + " connect=" + buttonText(ConnectButton) +
              " listen=" + buttonText(ListenButton) + " shown=" + numberList(shown) +
              " values=" + numberList(values));
}

// Presses a panel button the way a click does, if it carries the id and is enabled.
bool press(PanelButton b, int id) {
    ButtonView v = buttonView(b);
    if (v.id != id || !v.enabled) {
        reportError(std::string("the ") + v.caption + " button is not there or not enabled");
        return false;
    }
    return true;
}

void doSettings(const std::vector<std::string>& words) {
    if (words.size() < 4) {
        reportError("usage: settings <address> <port> <serial> [increase-port-time] "
                    "[high-priority] [vsync=<-2..2>]");
        return;
    }
    Pending p;
    p.script = Script::Settings;
    p.address = words[1];
    p.port = words[2];
    p.serial = words[3];
    p.vsync = "0";
    for (size_t i = 4; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "increase-port-time") {
            p.increasePortTime = true;
        } else if (w == "high-priority") {
            p.highPriority = true;
        } else if (w.compare(0, 6, "vsync=") == 0) {
            p.vsync = w.substr(6);
            static const char* const entries[] = {"-2", "-1", "0", "1", "2"};
            bool known = false;
            for (const char* e : entries) known = known || p.vsync == e;
            if (!known) {
                reportError("vsync must be one of -2, -1, 0, 1, 2");
                return;
            }
        } else {
            reportError("unknown settings option " + w);
            return;
        }
    }
    if (!press(SettingsButton, IDC_SETTINGS)) return;
    pending = p;
    panelCommand(IDC_SETTINGS);
    pending = Pending{};
}

void doConnect(const std::vector<std::string>& words, bool cancel) {
    if ((!cancel && words.size() != 3) || (cancel && words.size() != 1)) {
        reportError(cancel ? "usage: connect-cancel" : "usage: connect <address> <port>");
        return;
    }
    if (!press(ConnectButton, IDC_CONNECT)) return;
    Pending p;
    p.script = cancel ? Script::ConnectCancel : Script::Connect;
    if (!cancel) {
        p.address = words[1];
        p.port = words[2];
    }
    pending = p;
    panelCommand(IDC_CONNECT);
    pending = Pending{};
}

void doClick(const std::vector<std::string>& words) {
    uint32_t id = 0;
    if (words.size() != 2 || !parseDialogNumber(words[1].c_str(), false, &id)) {
        reportError("usage: click <id>");
        return;
    }
    if (id != IDC_LISTEN && id != IDC_CONNECT_CANCEL && id != IDC_LISTEN_CANCEL) {
        reportError("click takes 1012, 1060 or 1061; use settings or connect for the others");
        return;
    }
    for (PanelButton b : {SettingsButton, ConnectButton, ListenButton}) {
        ButtonView v = buttonView(b);
        if (v.id == int(id) && v.enabled) {
            panelCommand(int(id));
            return;
        }
    }
    reportError("no enabled button carries the id " + words[1]);
}

void runCommand(const char* line) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = line;; ++p) {
        if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\r') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*p == '\0') break;
        } else {
            word += *p;
        }
    }
    if (words.empty()) return;

    const std::string& command = words[0];
    if (command == "settings") {
        doSettings(words);
    } else if (command == "connect") {
        doConnect(words, false);
    } else if (command == "connect-cancel") {
        doConnect(words, true);
    } else if (command == "click") {
        doClick(words);
    } else if (command == "answer" && words.size() == 2 && (words[1] == "yes" || words[1] == "no")) {
        setYesNoAnswer(words[1] == "yes");
    } else if (command == "answer") {
        reportError("usage: answer yes|no");
    } else if (command == "status" && words.size() == 1) {
        reportStatus();
    } else if (command == "close" && words.size() == 1) {
        onMainWindowClose();
    } else {
        reportError("unknown command " + command);
    }
}

// Standard input: one read per wake-up of the loop, so the loop never blocks.
char input[4096];
size_t inputLength = 0;
bool skippingLongLine = false;

// Closes as the close box does; a refused close (the transfer warning answered
// No) closes all the same, for nobody is left to close the window later or
// the signal is no question. The peer is told either way.
void closeAllTheSame(const char* why) {
    if (mainWindowDestroyed()) return;
    onMainWindowClose();
    if (mainWindowDestroyed()) return;
    reportError(std::string("close refused ") + why + "; closing all the same");
    if (linkState.connectionState == Connected) sendControl(DisconnectNotice);
    destroyMainWindow();
}

void endOfInput() {
    windowLoopWatchInput(-1, nullptr);
    if (!skippingLongLine && inputLength > 0 && !mainWindowDestroyed()) {
        input[inputLength] = '\0';
        runCommand(input);
    }
    inputLength = 0;
    closeAllTheSame("at the end of input");
}

void onCloseSignal() {
    const int signal = takeCloseSignal();
    if (signal != 0) closeAllTheSame(("on signal " + std::to_string(signal)).c_str());
}

void onInput() {
    ssize_t n = read(STDIN_FILENO, input + inputLength, sizeof input - 1 - inputLength);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        endOfInput();
        return;
    }
    inputLength += size_t(n);

    size_t start = 0;
    for (size_t i = 0; i < inputLength && !mainWindowDestroyed(); ++i) {
        if (input[i] != '\n') continue;
        input[i] = '\0';
        if (!skippingLongLine) runCommand(input + start);
        skippingLongLine = false;
        start = i + 1;
    }
    if (mainWindowDestroyed()) return;
    std::memmove(input, input + start, inputLength - start);
    inputLength -= start;
    if (inputLength == sizeof input - 1) {
        if (!skippingLongLine) reportError("line too long");
        skippingLongLine = true;
        inputLength = 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    ensureStandardStreams(); // before anything opens a file
    bool recovery;
    if (!readRecoverySwitch("zavik-headless", argc, argv, &recovery)) return 2;
    const int signals = watchCloseSignals();
    setWindowThread();
    initLinkState();
    linkState.recovery.enabled = recovery;
    frontEndEcho(true);
    initPanel(); // the panel's WM_INITDIALOG; it enables Settings... on success

    windowLoopWatchInput(STDIN_FILENO, onInput);
    windowLoopWatchSignals(signals, onCloseSignal);
    const int code = windowLoopRun();
    frontEndFinish();
    return code;
}
