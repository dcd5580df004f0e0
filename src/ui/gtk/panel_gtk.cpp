// The main window of zavik-gtk and its panel: the log pane, the three buttons
// and the ten counters in their group boxes, laid out as on Windows (log on
// top, Settings... Connect... Listen below it, the counters at the bottom);
// the buttons' caption, id and enabled state as the link sets them; the
// transfer warning box; the main window's close and destruction.
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>

#include "core/view.h"
#include "ui/gtk/gtk_ui.h"
#include "ui/panel.h"
#include "ui/posix/front_end.h"
#include "ui/resource.h"
#include "ui/widgets.h"

namespace {

// "Zavik 0.1" and a sharp s, in UTF-8.
const char kCaption[] = "Zavik 0.1\xC3\x9F";

GtkWidget* window = nullptr;
GtkWidget* logText = nullptr;
GtkTextBuffer* logBuffer = nullptr;
GtkTextMark* logEnd = nullptr;

struct Button {
    GtkWidget* widget;
    int id;
};
Button buttons[3] = {{nullptr, IDC_SETTINGS}, {nullptr, IDC_CONNECT}, {nullptr, IDC_LISTEN}};

// The group boxes and counter fields, by id.
struct Control {
    int id;
    GtkWidget* widget;
};
Control controls[13] = {
    {IDC_LOCAL_GROUP, nullptr},  {IDC_LOCAL_RECVD, nullptr},  {IDC_LOCAL_SENT, nullptr},
    {IDC_LOCAL_STORED, nullptr}, {IDC_REMOTE_GROUP, nullptr}, {IDC_REMOTE_RECVD, nullptr},
    {IDC_REMOTE_SENT, nullptr},  {IDC_REMOTE_STORED, nullptr}, {IDC_STATUS_GROUP, nullptr},
    {IDC_PING, nullptr},         {IDC_SIZE, nullptr},         {IDC_TFR_STAT, nullptr},
    {IDC_ERRORS, nullptr}};

Control* control(int id) {
    for (Control& c : controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

// The log holds bytes; GTK takes UTF-8. Text that is not UTF-8 is read as
// Latin-1, so every byte shows as some character.
std::string asUtf8(const char* text) {
    if (g_utf8_validate(text, -1, nullptr)) return text;
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x80) {
            out += char(*p);
        } else {
            out += char(0xC0 | (*p >> 6));
            out += char(0x80 | (*p & 0x3F));
        }
    }
    return out;
}

void onButtonClicked(GtkButton*, gpointer which) {
    panelCommand(buttons[GPOINTER_TO_INT(which)].id);
}

// The close box (or the window manager's close): the window is destroyed only
// when the link agrees, never by GTK itself.
gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer) {
    onMainWindowClose();
    return TRUE;
}

GtkWidget* label(const char* text) {
    GtkWidget* l = gtk_label_new(text);
    gtk_label_set_xalign(GTK_LABEL(l), 0.0f);
    return l;
}

// A group box of counters: label and value per row, the caption greyed until
// the Settings dialog enables it.
GtkWidget* counterGroup(int groupId, const char* caption,
                        std::initializer_list<std::pair<const char*, int>> rows) {
    GtkWidget* frame = gtk_frame_new(caption);
    gtk_widget_set_sensitive(gtk_frame_get_label_widget(GTK_FRAME(frame)), FALSE);
    control(groupId)->widget = frame;
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
    gtk_container_set_border_width(GTK_CONTAINER(grid), 6);
    int row = 0;
    for (const auto& r : rows) {
        GtkWidget* value = label("0");
        gtk_label_set_width_chars(GTK_LABEL(value), 10);
        control(r.second)->widget = value;
        gtk_grid_attach(GTK_GRID(grid), label(r.first), 0, row, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), value, 1, row, 1, 1);
        ++row;
    }
    gtk_container_add(GTK_CONTAINER(frame), grid);
    return frame;
}

void setWindowIcon() {
    GList* icons = nullptr;
    for (const char* size : {"32", "64", "256"}) {
        std::string path = std::string("/zavik/icons/zavik-") + size + ".png";
        if (GdkPixbuf* icon = gdk_pixbuf_new_from_resource(path.c_str(), nullptr)) {
            icons = g_list_append(icons, icon);
        }
    }
    gtk_window_set_default_icon_list(icons);
    g_list_free_full(icons, g_object_unref);
}

} // namespace

void buildMainWindow() {
    setWindowIcon();
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), kCaption);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE); // no sizing border, no maximise
    g_signal_connect(window, "delete-event", G_CALLBACK(onDeleteEvent), nullptr);

    GtkWidget* panel = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_set_border_width(GTK_CONTAINER(panel), 8);
    gtk_container_add(GTK_CONTAINER(window), panel);

    // The log: read-only, wrapped, with a scroll bar; it never takes the
    // keyboard focus, so Tab and Enter stay with the buttons.
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                   GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller), FALSE);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
    gtk_widget_set_size_request(scroller, 500, 240);
    logText = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(logText), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(logText), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(logText), GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_left_margin(GTK_TEXT_VIEW(logText), 3);
    gtk_widget_set_can_focus(logText, FALSE);
    logBuffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(logText));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(logBuffer, &end);
    logEnd = gtk_text_buffer_create_mark(logBuffer, nullptr, &end, FALSE);
    gtk_container_add(GTK_CONTAINER(scroller), logText);
    gtk_box_pack_start(GTK_BOX(panel), scroller, TRUE, TRUE, 0);

    // The buttons, all disabled until the panel's initialisation; Connect... is
    // the default button (Enter).
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_set_homogeneous(GTK_BOX(row), TRUE);
    const char* captions[3] = {"Settings...", "Connect...", "Listen"};
    for (int b = 0; b < 3; ++b) {
        GtkWidget* button = gtk_button_new_with_label(captions[b]);
        gtk_widget_set_sensitive(button, FALSE);
        g_signal_connect(button, "clicked", G_CALLBACK(onButtonClicked), GINT_TO_POINTER(b));
        gtk_box_pack_start(GTK_BOX(row), button, TRUE, TRUE, 0);
        buttons[b].widget = button;
    }
    gtk_widget_set_can_default(buttons[ConnectButton].widget, TRUE);
    gtk_window_set_default(GTK_WINDOW(window), buttons[ConnectButton].widget);
    gtk_box_pack_start(GTK_BOX(panel), row, FALSE, FALSE, 0);

    GtkWidget* groups = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_set_homogeneous(GTK_BOX(groups), TRUE);
    gtk_box_pack_start(GTK_BOX(groups),
                       counterGroup(IDC_LOCAL_GROUP, "Local Packets",
                                    {{"Recv'd:", IDC_LOCAL_RECVD},
                                     {"Sent:", IDC_LOCAL_SENT},
                                     {"Stored:", IDC_LOCAL_STORED}}),
                       TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(groups),
                       counterGroup(IDC_REMOTE_GROUP, "Remote Packets",
                                    {{"Recv'd:", IDC_REMOTE_RECVD},
                                     {"Sent:", IDC_REMOTE_SENT},
                                     {"Stored:", IDC_REMOTE_STORED}}),
                       TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(groups),
                       counterGroup(IDC_STATUS_GROUP, "Status",
                                    {{"Ping:", IDC_PING},
                                     {"Size:", IDC_SIZE},
                                     {"Tfr Stat:", IDC_TFR_STAT},
                                     {"Errors:", IDC_ERRORS}}),
                       TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(panel), groups, FALSE, FALSE, 0);
}

GtkWidget* mainWindowWidget() { return window; }
GtkWidget* panelButton(PanelButton button) { return buttons[button].widget; }
int panelButtonId(PanelButton button) { return buttons[button].id; }
GtkWidget* logView() { return logText; }

GtkWidget* panelControl(int id) {
    Control* c = control(id);
    return c != nullptr ? c->widget : nullptr;
}

// ---- the log pane and the counters

void paneAppend(const char* text) {
    if (logBuffer == nullptr) return;
    std::string utf8 = asUtf8(text);
    glong length = g_utf8_strlen(utf8.c_str(), -1);
    if (gtk_text_buffer_get_char_count(logBuffer) + length > kLogLimit) {
        paneClear();
        if (length > kLogLimit) {
            utf8.resize(size_t(g_utf8_offset_to_pointer(utf8.c_str(), kLogLimit) - utf8.c_str()));
        }
    }
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(logBuffer, &end);
    gtk_text_buffer_insert(logBuffer, &end, utf8.c_str(), int(utf8.size()));
    gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(logText), logEnd);
}

void paneClear() {
    if (logBuffer != nullptr) gtk_text_buffer_set_text(logBuffer, "", 0);
}

void paneSetCounter(int controlId, uint32_t value) {
    Control* c = control(controlId);
    if (c == nullptr || c->widget == nullptr) return;
    char text[16];
    std::snprintf(text, sizeof text, "%u", unsigned(value));
    gtk_label_set_text(GTK_LABEL(c->widget), text);
}

// ---- the buttons and the transfer warning

// Once the window is gone (the link shut down with it) they change nothing.
void buttonSetCaption(PanelButton button, const char* caption) {
    if (buttons[button].widget) gtk_button_set_label(GTK_BUTTON(buttons[button].widget), caption);
}

void buttonSetId(PanelButton button, int id) { buttons[button].id = id; }

void buttonEnable(PanelButton button, bool enable) {
    if (buttons[button].widget) gtk_widget_set_sensitive(buttons[button].widget, enable);
}

void buttonFocus(PanelButton button) {
    if (buttons[button].widget) gtk_widget_grab_focus(buttons[button].widget);
}

int askYesNo(const char* text, const char* caption) {
    GtkWidget* box = gtk_message_dialog_new(modalOwner(), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                            GTK_BUTTONS_YES_NO, "%s", text);
    gtk_window_set_title(GTK_WINDOW(box), caption);
    int answer = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    return answer == GTK_RESPONSE_YES ? 1 : 0; // Esc and the close box answer No
}

// ---- the panel's other controls and the main window

void panelEnableItem(int id, bool enable) {
    Control* c = control(id);
    if (c == nullptr || c->widget == nullptr) return;
    // A group box greys only its caption; the counters inside stay as they are.
    GtkWidget* target = GTK_IS_FRAME(c->widget) ? gtk_frame_get_label_widget(GTK_FRAME(c->widget))
                                                : c->widget;
    gtk_widget_set_sensitive(target, enable);
}

// The focus goes to the first button that takes it, in the tab order of the
// Windows panel (Connect..., Listen, Settings...).
void panelFocus() {
    for (PanelButton b : {ConnectButton, ListenButton, SettingsButton}) {
        if (buttons[b].widget && gtk_widget_is_sensitive(buttons[b].widget)) {
            gtk_widget_grab_focus(buttons[b].widget);
            return;
        }
    }
}

// The link is shut down while the log still stands (its closing lines are
// appended to it), then the window goes and the main loop ends.
void destroyMainWindow() {
    if (window == nullptr) return;
    shutdownProgram();
    GtkWidget* w = window;
    window = nullptr;
    logText = nullptr;
    logBuffer = nullptr;
    logEnd = nullptr;
    for (Button& b : buttons) b.widget = nullptr;
    for (Control& c : controls) c.widget = nullptr;
    gtk_widget_destroy(w);
    gtk_main_quit();
}
