// The Settings and Connect dialogs of the headless front end, as records of
// their controls, and its main window.
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/link_state.h"
#include "serial/posix/device_list.h"
#include "ui/dialog_number.h"
#include "ui/panel.h"
#include "ui/posix/front_end.h"
#include "ui/posix/headless.h"
#include "ui/posix/window_loop.h"
#include "ui/resource.h"
#include "ui/widgets.h"

Pending pending;

struct DialogWindow {
    struct Control {
        int id;
        std::string text; // an edit's text; a combo box's shown text
        std::vector<std::string> items;
        int selected = -1;
        bool checked = false;
    };
    std::vector<Control> controls;
    bool ended = false;
    int result = 0;

    Control& at(int id) {
        for (Control& c : controls) {
            if (c.id == id) return c;
        }
        controls.push_back(Control{});
        controls.back().id = id;
        return controls.back();
    }
};

namespace {

// The local address list is the one sorted combo box of the dialogs.
bool sortedCombo(int id) { return id == IDC_LOCAL_ADDRESS; }

void select(DialogWindow::Control& c, int index) {
    if (index >= 0 && index < int(c.items.size())) {
        c.selected = index;
        c.text = c.items[size_t(index)];
    } else {
        c.selected = -1;
        c.text.clear();
    }
}

} // namespace

void dlgSetText(DialogWindow* d, int id, const char* text) { d->at(id).text = text; }

void dlgGetText(DialogWindow* d, int id, char* text, int size) {
    if (size > 0) copyText(text, size_t(size), d->at(id).text.c_str());
}

void dlgSetUint(DialogWindow* d, int id, uint32_t value) { d->at(id).text = std::to_string(value); }

uint32_t dlgGetUint(DialogWindow* d, int id) {
    uint32_t value;
    parseDialogNumber(d->at(id).text.c_str(), false, &value);
    return value;
}

int32_t dlgGetInt(DialogWindow* d, int id) {
    uint32_t value;
    parseDialogNumber(d->at(id).text.c_str(), true, &value);
    return int32_t(value);
}

void comboAdd(DialogWindow* d, int id, const char* text) {
    DialogWindow::Control& c = d->at(id);
    size_t at = c.items.size();
    if (sortedCombo(id)) {
        at = 0;
        while (at < c.items.size() && strcasecmp(c.items[at].c_str(), text) <= 0) ++at;
        if (c.selected >= int(at)) ++c.selected;
    }
    c.items.insert(c.items.begin() + long(at), text);
}

void comboSelectString(DialogWindow* d, int id, const char* text) {
    DialogWindow::Control& c = d->at(id);
    size_t length = std::strlen(text);
    for (size_t i = 0; i < c.items.size(); ++i) {
        if (strncasecmp(c.items[i].c_str(), text, length) == 0) {
            select(c, int(i));
            return;
        }
    }
}

void comboSetSel(DialogWindow* d, int id, int index) { select(d->at(id), index); }
int comboGetSel(DialogWindow* d, int id) { return d->at(id).selected; }
void checkSet(DialogWindow* d, int id, bool checked) { d->at(id).checked = checked; }
bool checkGet(DialogWindow* d, int id) { return d->at(id).checked; }

void dlgEnd(DialogWindow* d, int result) {
    d->ended = true;
    d->result = result;
}

void errorBox(const char* text) { reportMessageBox("Error", text, "ok"); }

// ---- what the person does inside a dialog: set by the command before it
// presses the panel's button ----

namespace {


// The serial devices present, offered after the four COM names.
void addSerialDevices(DialogWindow* d) {
    for (const std::string& path : listSerialDevices()) comboAdd(d, IDC_SERIAL_PORT, path.c_str());
}

// Picks the named entry of a list; a device path or console name that the list
// does not offer is entered as a new entry.
void chooseSerial(DialogWindow* d, const std::string& name) {
    DialogWindow::Control& c = d->at(IDC_SERIAL_PORT);
    for (size_t i = 0; i < c.items.size(); ++i) {
        if (strcasecmp(c.items[i].c_str(), name.c_str()) == 0) {
            select(c, int(i));
            return;
        }
    }
    c.items.push_back(name);
    select(c, int(c.items.size()) - 1);
}

void chooseEntry(DialogWindow* d, int id, const std::string& text) {
    DialogWindow::Control& c = d->at(id);
    for (size_t i = 0; i < c.items.size(); ++i) {
        if (c.items[i] == text) select(c, int(i));
    }
}

} // namespace

void runSettingsDialog() {
    DialogWindow dialog;
    fillSettingsDialog(&dialog);
    DialogWindow::Control& serial = dialog.at(IDC_SERIAL_PORT);
    bool shown = serial.selected >= 0;
    addSerialDevices(&dialog);
    if (!shown) comboSelectString(&dialog, IDC_SERIAL_PORT, linkState.serialPortName);

    if (pending.script == Script::Settings) {
        dialog.at(IDC_LOCAL_ADDRESS).text = pending.address;
        dialog.at(IDC_LOCAL_PORT).text = pending.port;
        chooseSerial(&dialog, pending.serial);
        dialog.at(IDC_INCREASE_PORT_TIME).checked = pending.increasePortTime;
        dialog.at(IDC_HIGH_PRIORITY).checked = pending.highPriority;
        chooseEntry(&dialog, IDC_VSYNC_ADJUST, pending.vsync);
        settingsDialogOk(&dialog);
    }
    // A refused entry leaves the dialog open: the box was shown, now Cancel.
    if (!dialog.ended) settingsDialogCancel(&dialog);
}

void runConnectDialog() {
    DialogWindow dialog;
    fillConnectDialog(&dialog);
    if (pending.script == Script::Connect) {
        dialog.at(IDC_REMOTE_ADDRESS).text = pending.address;
        dialog.at(IDC_REMOTE_PORT).text = pending.port;
        connectDialogOk(&dialog);
    }
    if (!dialog.ended) connectDialogCancel(&dialog);
}

// ---- the main window ----

namespace {
bool destroyed = false;
}

bool mainWindowDestroyed() { return destroyed; }

void destroyMainWindow() {
    if (destroyed) return;
    destroyed = true;
    shutdownProgram();
    windowLoopQuit(0);
}

