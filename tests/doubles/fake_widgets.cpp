#include "doubles/fake_widgets.h"

#include <strings.h>

#include <cstring>

#include "core/link_state.h"
#include "ui/dialog_number.h"
#include "ui/panel.h"
#include "ui/widgets.h"

FakeWidgets fakeWidgets;

void resetFakeWidgets() { fakeWidgets = FakeWidgets{}; }

void DialogWindow::pick(int id, int index) {
    Control& c = controls[id];
    c.selected = index;
    c.text = index >= 0 && index < int(c.items.size()) ? c.items[size_t(index)] : "";
}

void dlgSetText(DialogWindow* d, int id, const char* text) { d->at(id).text = text; }
void dlgGetText(DialogWindow* d, int id, char* text, int size) {
    copyText(text, size_t(size), d->at(id).text.c_str());
}
void dlgSetUint(DialogWindow* d, int id, uint32_t value) { d->at(id).text = std::to_string(value); }
uint32_t dlgGetUint(DialogWindow* d, int id) {
    uint32_t v;
    parseDialogNumber(d->at(id).text.c_str(), false, &v);
    return v;
}
int32_t dlgGetInt(DialogWindow* d, int id) {
    uint32_t v;
    parseDialogNumber(d->at(id).text.c_str(), true, &v);
    return int32_t(v);
}
void comboAdd(DialogWindow* d, int id, const char* text) { d->at(id).items.push_back(text); }
void comboSelectString(DialogWindow* d, int id, const char* text) {
    DialogWindow::Control& c = d->at(id);
    for (size_t i = 0; i < c.items.size(); ++i) {
        if (strncasecmp(c.items[i].c_str(), text, std::strlen(text)) == 0) {
            d->pick(id, int(i));
            return;
        }
    }
}
void comboSetSel(DialogWindow* d, int id, int index) { d->pick(id, index); }
int comboGetSel(DialogWindow* d, int id) { return d->at(id).selected; }
void checkSet(DialogWindow* d, int id, bool checked) { d->at(id).checked = checked; }
bool checkGet(DialogWindow* d, int id) { return d->at(id).checked; }
void dlgEnd(DialogWindow* d, int result) {
    d->ended = true;
    d->endResult = result;
}

void errorBox(const char* text) { fakeWidgets.errorBoxes.push_back(text); }

void panelEnableItem(int id, bool enable) {
    fakeWidgets.itemEnabled[id] = enable;
    fakeWidgets.enables.push_back({id, enable});
}
void panelFocus() { ++fakeWidgets.panelFocuses; }

namespace {

// Runs a modal dialog: fill, the user's script, and Cancel if it is still open.
void runDialog(void (*fill)(DialogWindow*), const std::function<void(DialogWindow&)>& script,
               void (*cancel)(DialogWindow*)) {
    DialogWindow dialog;
    fill(&dialog);
    if (script) script(dialog);
    if (!dialog.ended) cancel(&dialog);
    fakeWidgets.lastDialog = dialog;
}

} // namespace

void runSettingsDialog() {
    ++fakeWidgets.settingsOpened;
    runDialog(fillSettingsDialog, fakeWidgets.onSettingsDialog, settingsDialogCancel);
}
void runConnectDialog() {
    ++fakeWidgets.connectOpened;
    runDialog(fillConnectDialog, fakeWidgets.onConnectDialog, connectDialogCancel);
}

void destroyMainWindow() { ++fakeWidgets.windowsDestroyed; }
