// The Settings and Connect dialogs of zavik-gtk and the error box: modal GTK
// dialogs laid out as on Windows (the fields on the left in their group
// boxes, OK and Cancel on the right), their controls by the Windows ids, and
// the modal loop that runs until the dialog's logic ends it. The window
// thread's sources go on being served meanwhile, as in a Windows modal loop.
#include <strings.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/link_state.h"
#include "serial/posix/device_list.h"
#include "ui/dialog_number.h"
#include "ui/gtk/gtk_ui.h"
#include "ui/panel.h"
#include "ui/resource.h"
#include "ui/widgets.h"

struct DialogWindow {
    GtkWidget* window = nullptr;
    std::map<int, GtkWidget*> controls;
    void (*ok)(DialogWindow*) = nullptr;
    void (*cancel)(DialogWindow*) = nullptr;
    GMainLoop* loop = nullptr;
    bool ended = false;
};

namespace {

std::vector<DialogWindow*> openDialogs; // the innermost last

GtkWidget* at(DialogWindow* d, int id) {
    auto found = d->controls.find(id);
    return found != d->controls.end() ? found->second : nullptr;
}

// The text field of an edit, or of a combo box that has one; else null.
GtkEntry* entryOf(GtkWidget* control) {
    if (control == nullptr) return nullptr;
    if (GTK_IS_ENTRY(control)) return GTK_ENTRY(control);
    if (GTK_IS_COMBO_BOX(control) && gtk_combo_box_get_has_entry(GTK_COMBO_BOX(control))) {
        return GTK_ENTRY(gtk_bin_get_child(GTK_BIN(control)));
    }
    return nullptr;
}

std::string controlText(DialogWindow* d, int id) {
    GtkWidget* control = at(d, id);
    if (GtkEntry* entry = entryOf(control)) return gtk_entry_get_text(entry);
    if (control != nullptr && GTK_IS_COMBO_BOX_TEXT(control)) {
        gchar* text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(control));
        std::string result = text != nullptr ? text : "";
        g_free(text);
        return result;
    }
    return "";
}

std::vector<std::string> comboItems(GtkWidget* combo) {
    std::vector<std::string> items;
    GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter row;
    for (bool more = gtk_tree_model_get_iter_first(model, &row); more;
         more = gtk_tree_model_iter_next(model, &row)) {
        gchar* text = nullptr;
        gtk_tree_model_get(model, &row, 0, &text, -1);
        items.push_back(text != nullptr ? text : "");
        g_free(text);
    }
    return items;
}

// ---- building a dialog

void onOk(GtkButton*, gpointer data) {
    DialogWindow* d = static_cast<DialogWindow*>(data);
    d->ok(d);
}

void onCancel(GtkButton*, gpointer data) {
    DialogWindow* d = static_cast<DialogWindow*>(data);
    d->cancel(d);
}

// The close box and Esc are Cancel.
gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
    DialogWindow* d = static_cast<DialogWindow*>(data);
    d->cancel(d);
    return TRUE;
}

void onDestroyed(GtkWidget*, gpointer data) {
    DialogWindow* d = static_cast<DialogWindow*>(data);
    d->window = nullptr;
    d->ended = true;
    if (d->loop != nullptr) g_main_loop_quit(d->loop);
}

void newDialog(DialogWindow* d, const char* caption, void (*ok)(DialogWindow*),
               void (*cancel)(DialogWindow*)) {
    d->ok = ok;
    d->cancel = cancel;
    d->window = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(d->window), caption);
    gtk_window_set_transient_for(GTK_WINDOW(d->window), modalOwner());
    gtk_window_set_modal(GTK_WINDOW(d->window), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(d->window), FALSE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(d->window), TRUE);
    g_signal_connect(d->window, "delete-event", G_CALLBACK(onDelete), d);
    g_signal_connect(d->window, "destroy", G_CALLBACK(onDestroyed), d);
}

GtkWidget* add(DialogWindow* d, int id, GtkWidget* control) {
    d->controls[id] = control;
    return control;
}

GtkWidget* label(const char* text, float xalign = 1.0f) {
    GtkWidget* l = gtk_label_new(text);
    gtk_label_set_xalign(GTK_LABEL(l), xalign);
    return l;
}

GtkWidget* edit(DialogWindow* d, int id, int widthChars) {
    GtkWidget* e = gtk_entry_new();
    gtk_entry_set_width_chars(GTK_ENTRY(e), widthChars);
    gtk_entry_set_activates_default(GTK_ENTRY(e), TRUE);
    return add(d, id, e);
}

// A drop-down list, or with typing a drop-down with a text field.
GtkWidget* combo(DialogWindow* d, int id, bool typing, int widthChars) {
    GtkWidget* c = typing ? gtk_combo_box_text_new_with_entry() : gtk_combo_box_text_new();
    if (GtkEntry* entry = entryOf(c)) {
        gtk_entry_set_width_chars(entry, widthChars);
        gtk_entry_set_activates_default(entry, TRUE);
    }
    return add(d, id, c);
}

GtkWidget* check(DialogWindow* d, int id, const char* caption) {
    return add(d, id, gtk_check_button_new_with_label(caption));
}

// OK (the default button: Enter in a field presses it) and Cancel, one above
// the other.
GtkWidget* okCancel(DialogWindow* d) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    for (int id : {kIdOk, kIdCancel}) {
        GtkWidget* b = add(d, id, gtk_button_new_with_label(id == kIdOk ? "OK" : "Cancel"));
        g_signal_connect(b, "clicked", G_CALLBACK(id == kIdOk ? onOk : onCancel), d);
        gtk_box_pack_start(GTK_BOX(box), b, FALSE, FALSE, 0);
    }
    gtk_widget_set_can_default(at(d, kIdOk), TRUE);
    gtk_window_set_default(GTK_WINDOW(d->window), at(d, kIdOk));
    return box;
}

// A group box around label and field pairs.
GtkWidget* fieldGroup(const char* caption,
                      std::initializer_list<std::pair<const char*, GtkWidget*>> rows) {
    GtkWidget* frame = gtk_frame_new(caption);
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
    gtk_container_set_border_width(GTK_CONTAINER(grid), 8);
    int row = 0;
    for (const auto& r : rows) {
        gtk_grid_attach(GTK_GRID(grid), label(r.first), 0, row, 1, 1);
        gtk_widget_set_halign(r.second, GTK_ALIGN_START);
        gtk_grid_attach(GTK_GRID(grid), r.second, 1, row, 1, 1);
        ++row;
    }
    gtk_container_add(GTK_CONTAINER(frame), grid);
    return frame;
}

// The dialog's body: the left column and the right one, OK and Cancel on top
// of the right.
void layOut(DialogWindow* d, GtkWidget* left, GtkWidget* right) {
    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
    gtk_container_set_border_width(GTK_CONTAINER(body), 6);
    gtk_box_pack_start(GTK_BOX(body), left, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(body), right, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(d->window))), body, TRUE,
                       TRUE, 0);
}

void buildSettings(DialogWindow* d) {
    newDialog(d, "Settings", settingsDialogOk, settingsDialogCancel);
    GtkWidget* left = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_box_pack_start(GTK_BOX(left),
                       fieldGroup("Local IP", {{"Address:", combo(d, IDC_LOCAL_ADDRESS, true, 24)},
                                               {"Port:", edit(d, IDC_LOCAL_PORT, 6)}}),
                       FALSE, FALSE, 0);
    GtkWidget* speed = combo(d, IDC_PORT_SPEED, true, 7);
    gtk_widget_set_sensitive(speed, FALSE); // the speed is fixed
    gtk_box_pack_start(GTK_BOX(left),
                       fieldGroup("PlayStation Settings",
                                  {{"Serial Port:", combo(d, IDC_SERIAL_PORT, true, 14)},
                                   {"Port Speed:", speed}}),
                       FALSE, FALSE, 0);

    GtkWidget* right = okCancel(d);
    GtkWidget* debug = gtk_frame_new("Debug");
    gtk_frame_set_label_align(GTK_FRAME(debug), 0.5f, 0.5f);
    GtkWidget* options = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_set_border_width(GTK_CONTAINER(options), 6);
    gtk_box_pack_start(GTK_BOX(options), check(d, IDC_HIGH_PRIORITY, "High Priority"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(options), check(d, IDC_INCREASE_PORT_TIME, "Increase Port Time"),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(options), label("Vsync Interval\nAdjustment", 0.0f), FALSE, FALSE, 0);
    GtkWidget* vsync = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    gtk_box_pack_start(GTK_BOX(vsync), combo(d, IDC_VSYNC_ADJUST, false, 0), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vsync), label("ms", 0.0f), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(options), vsync, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(debug), options);
    gtk_box_pack_start(GTK_BOX(right), debug, FALSE, FALSE, 6);
    layOut(d, left, right);
}

void buildConnect(DialogWindow* d) {
    newDialog(d, "Create Connection", connectDialogOk, connectDialogCancel);
    GtkWidget* fields = fieldGroup("Remote IP", {{"Address:", edit(d, IDC_REMOTE_ADDRESS, 24)},
                                                 {"Port:", edit(d, IDC_REMOTE_PORT, 6)}});
    layOut(d, fields, okCancel(d));
}

// Shows the dialog and serves the window thread until the dialog's logic ends
// it (or the main window goes, taking it along).
void run(DialogWindow* d) {
    openDialogs.push_back(d);
    gtk_widget_show_all(d->window);
    if (!d->ended) {
        d->loop = g_main_loop_new(nullptr, FALSE);
        g_main_loop_run(d->loop);
        g_main_loop_unref(d->loop);
        d->loop = nullptr;
    }
    openDialogs.pop_back();
    if (d->window != nullptr) gtk_widget_destroy(d->window);
}

// The serial devices present and the simulated console, offered after the COM
// names; a port that the list does not offer (a path typed last time) is shown
// as typed.
void addSerialPorts(DialogWindow* d) {
    for (const std::string& path : listSerialDevices()) comboAdd(d, IDC_SERIAL_PORT, path.c_str());
    comboAdd(d, IDC_SERIAL_PORT, "sim");
    if (comboGetSel(d, IDC_SERIAL_PORT) < 0) {
        comboSelectString(d, IDC_SERIAL_PORT, linkState.serialPortName);
        if (comboGetSel(d, IDC_SERIAL_PORT) < 0) {
            dlgSetText(d, IDC_SERIAL_PORT, linkState.serialPortName);
        }
    }
}

} // namespace

void runSettingsDialog() {
    DialogWindow dialog;
    buildSettings(&dialog);
    fillSettingsDialog(&dialog);
    addSerialPorts(&dialog);
    gtk_widget_grab_focus(at(&dialog, IDC_LOCAL_ADDRESS));
    run(&dialog);
}

void runConnectDialog() {
    DialogWindow dialog;
    buildConnect(&dialog);
    fillConnectDialog(&dialog);
    gtk_widget_grab_focus(at(&dialog, IDC_REMOTE_ADDRESS));
    run(&dialog);
}

DialogWindow* openDialog() { return openDialogs.empty() ? nullptr : openDialogs.back(); }
GtkWidget* dialogWindow(DialogWindow* dialog) { return dialog->window; }
GtkWidget* dialogControl(DialogWindow* dialog, int id) { return at(dialog, id); }

GtkWindow* modalOwner() {
    if (DialogWindow* d = openDialog()) {
        if (d->window != nullptr && !d->ended) return GTK_WINDOW(d->window);
    }
    GtkWidget* main = mainWindowWidget();
    return main != nullptr ? GTK_WINDOW(main) : nullptr;
}

// ---- the controls, as the dialogs' logic drives them

void dlgSetText(DialogWindow* d, int id, const char* text) {
    if (GtkEntry* entry = entryOf(at(d, id))) gtk_entry_set_text(entry, text);
}

void dlgGetText(DialogWindow* d, int id, char* text, int size) {
    if (size > 0) copyText(text, size_t(size), controlText(d, id).c_str());
}

void dlgSetUint(DialogWindow* d, int id, uint32_t value) {
    dlgSetText(d, id, std::to_string(value).c_str());
}

uint32_t dlgGetUint(DialogWindow* d, int id) {
    uint32_t value;
    parseDialogNumber(controlText(d, id).c_str(), false, &value);
    return value;
}

int32_t dlgGetInt(DialogWindow* d, int id) {
    uint32_t value;
    parseDialogNumber(controlText(d, id).c_str(), true, &value);
    return int32_t(value);
}

// The local address list is sorted as it is filled, without regard to case.
void comboAdd(DialogWindow* d, int id, const char* text) {
    GtkWidget* c = at(d, id);
    if (c == nullptr) return;
    int place = -1;
    if (id == IDC_LOCAL_ADDRESS) {
        std::vector<std::string> items = comboItems(c);
        place = 0;
        while (place < int(items.size()) && strcasecmp(items[size_t(place)].c_str(), text) <= 0) ++place;
    }
    gtk_combo_box_text_insert_text(GTK_COMBO_BOX_TEXT(c), place, text);
}

void comboSelectString(DialogWindow* d, int id, const char* text) {
    GtkWidget* c = at(d, id);
    if (c == nullptr) return;
    std::vector<std::string> items = comboItems(c);
    size_t length = std::strlen(text);
    for (size_t i = 0; i < items.size(); ++i) {
        if (strncasecmp(items[i].c_str(), text, length) == 0) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(c), int(i));
            return;
        }
    }
}

void comboSetSel(DialogWindow* d, int id, int index) {
    GtkWidget* c = at(d, id);
    if (c == nullptr) return;
    gtk_combo_box_set_active(GTK_COMBO_BOX(c), index);
    if (index < 0) dlgSetText(d, id, "");
}

int comboGetSel(DialogWindow* d, int id) {
    GtkWidget* c = at(d, id);
    return c != nullptr ? gtk_combo_box_get_active(GTK_COMBO_BOX(c)) : -1;
}

void checkSet(DialogWindow* d, int id, bool checked) {
    if (GtkWidget* c = at(d, id)) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(c), checked);
}

bool checkGet(DialogWindow* d, int id) {
    GtkWidget* c = at(d, id);
    return c != nullptr && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c));
}

// The dialog goes at once; the logic that ended it runs on (the link start
// logs into the panel meanwhile), then the modal loop returns.
void dlgEnd(DialogWindow* d, int) {
    d->ended = true;
    if (d->window != nullptr) gtk_widget_hide(d->window);
    if (d->loop != nullptr) g_main_loop_quit(d->loop);
}

// Captioned "Error", an OK button. It belongs to the dialog that refused the
// entry, which stays open behind it.
void errorBox(const char* text) {
    GtkWidget* box = gtk_message_dialog_new(modalOwner(), GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                            GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(box), "Error");
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}
