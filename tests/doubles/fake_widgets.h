// A recording double of the dialog controls, the panel's other controls, the
// error boxes and the main window (ui/widgets.h). A test scripts what the user
// does inside a modal dialog with onSettingsDialog / onConnectDialog.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

struct DialogWindow {
    struct Control {
        std::string text;               // an edit's text, a combo box's shown text
        std::vector<std::string> items; // a combo box's list, in order added
        int selected = -1;
        bool checked = false;
    };
    std::map<int, Control> controls;
    bool ended = false;
    int endResult = -1;

    Control& at(int id) { return controls[id]; }
    // The user types into a field, picks a list entry by index, ticks a box.
    void type(int id, const std::string& text) { controls[id].text = text; }
    void pick(int id, int index);
    void tick(int id, bool on) { controls[id].checked = on; }
};

struct FakeWidgets {
    std::vector<std::string> errorBoxes;
    std::map<int, bool> itemEnabled;           // the panel's group boxes etc.
    std::vector<std::pair<int, bool>> enables; // every panelEnableItem in order
    int panelFocuses = 0;
    int settingsOpened = 0, connectOpened = 0;
    int windowsDestroyed = 0;
    // What the user does in an open dialog after it was filled. Without a script
    // the dialog is cancelled.
    std::function<void(DialogWindow&)> onSettingsDialog;
    std::function<void(DialogWindow&)> onConnectDialog;
    // The last dialog opened, as it was when it ended.
    DialogWindow lastDialog;
};

extern FakeWidgets fakeWidgets;
void resetFakeWidgets();
