// zavik_gtktest: zavik-gtk's front end, linked whole, with its window driven
// in-process as a user drives it: buttons clicked, fields typed into, list
// entries picked, message boxes answered, each step run by GTK's own loop
// (inside the dialogs' modal loops too), so nothing depends on the timing of
// synthetic input events. Screenshots of the window and of each dialog are
// drawn from the widgets into PNG files.
//
//   zavik_gtktest window SHOTS            the window, both dialogs, refusals,
//                                         a link start, Listen and Cancel, close
//   zavik_gtktest link SHOTS PORT PEER SERIAL
//                                         a link with a listening peer on
//                                         127.0.0.1:PEER: connect, a whole
//                                         transfer ("transferred" on standard
//                                         output), then, once a line comes on
//                                         standard input, disconnect, close
//
// Prints "FAIL <group> (line N): ..." per failed check and "ok <group>" or
// "FAIL <group>" per group. Exits 0 only when every check passed and the
// front end returned 0 after the window was closed.
#include <arpa/inet.h>
#include <cairo.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/counters.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "core/protocol.h"
#include "core/warnings.h"
#include "os/udp.h"
#include "ui/gtk/gtk_ui.h"
#include "ui/resource.h"

namespace {

int failures = 0;
const char* group = "";
bool groupOk = true;
std::string shots;

void expect(bool ok, int line, const std::string& what) {
    if (ok) return;
    groupOk = false;
    std::printf("FAIL %s (line %d): %s\n", group, line, what.c_str());
    std::fflush(stdout);
}
#define EXPECT(cond) expect(bool(cond), __LINE__, #cond)
#define EXPECT_EQ(got, want) \
    expect((got) == (want), __LINE__, std::string(#got " is \"") + (got) + "\", want \"" + (want) + "\"")

void runGroup(const char* name, void (*body)()) {
    group = name;
    groupOk = true;
    body();
    if (!groupOk) ++failures;
    std::printf("%s %s\n", groupOk ? "ok  " : "FAIL", name);
    std::fflush(stdout);
}

// ---- reading the window

std::string text(GtkWidget* w) {
    if (w == nullptr) return "(none)";
    if (GTK_IS_LABEL(w)) return gtk_label_get_text(GTK_LABEL(w));
    if (GTK_IS_BUTTON(w)) return gtk_button_get_label(GTK_BUTTON(w));
    if (GTK_IS_ENTRY(w)) return gtk_entry_get_text(GTK_ENTRY(w));
    if (GTK_IS_COMBO_BOX(w) && gtk_combo_box_get_has_entry(GTK_COMBO_BOX(w))) {
        return text(gtk_bin_get_child(GTK_BIN(w)));
    }
    if (GTK_IS_COMBO_BOX_TEXT(w)) {
        gchar* t = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(w));
        std::string s = t != nullptr ? t : "";
        g_free(t);
        return s;
    }
    return "(?)";
}

std::vector<std::string> items(GtkWidget* combo) {
    std::vector<std::string> out;
    GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter row;
    for (bool more = gtk_tree_model_get_iter_first(model, &row); more;
         more = gtk_tree_model_iter_next(model, &row)) {
        gchar* t = nullptr;
        gtk_tree_model_get(model, &row, 0, &t, -1);
        out.push_back(t);
        g_free(t);
    }
    return out;
}

GtkTextBuffer* logBuffer() { return gtk_text_view_get_buffer(GTK_TEXT_VIEW(logView())); }

std::string logText(GtkTextBuffer* buffer = nullptr) {
    if (buffer == nullptr) buffer = logBuffer();
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar* t = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    std::string s = t;
    g_free(t);
    return s;
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "caption:id:enabled", as the headless program reports a button.
std::string button(PanelButton b) {
    return text(panelButton(b)) + ":" + std::to_string(panelButtonId(b)) + ":" +
           (gtk_widget_is_sensitive(panelButton(b)) ? "1" : "0");
}

bool groupCaptionEnabled(int id) {
    return gtk_widget_is_sensitive(gtk_frame_get_label_widget(GTK_FRAME(panelControl(id))));
}

// ---- driving it

// Serves the window thread until nothing is left to do now.
void settle() {
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

// Serves the window thread until done() or the time is up.
bool waitFor(const std::function<bool()>& done, int ms) {
    gint64 deadline = g_get_monotonic_time() + gint64(ms) * 1000;
    guint tick = g_timeout_add(10, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr);
    bool ok;
    while (!(ok = done()) && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    return ok;
}

// A click, as a user's: nothing happens on a disabled button. Returns when
// the click's work is done, a modal dialog's whole life included.
void click(GtkWidget* b) {
    expect(b != nullptr && gtk_widget_is_sensitive(b), __LINE__, "the button " + text(b) + " takes clicks");
    if (b != nullptr && gtk_widget_is_sensitive(b)) gtk_button_clicked(GTK_BUTTON(b));
}

// What the user does in the modal window that the next click opens: run by the
// window thread once that window is up.
void next(std::function<void()> step) {
    g_idle_add(
        [](gpointer data) {
            auto* f = static_cast<std::function<void()>*>(data);
            settle();
            (*f)();
            delete f;
            return gboolean(G_SOURCE_REMOVE);
        },
        new std::function<void()>(std::move(step)));
}

GtkWidget* control(int id) { return openDialog() ? dialogControl(openDialog(), id) : nullptr; }

void type(int id, const char* t) {
    GtkWidget* w = control(id);
    if (GTK_IS_COMBO_BOX(w)) w = gtk_bin_get_child(GTK_BIN(w));
    gtk_entry_set_text(GTK_ENTRY(w), t);
}

void pick(int id, const std::string& entry) {
    std::vector<std::string> list = items(control(id));
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == entry) gtk_combo_box_set_active(GTK_COMBO_BOX(control(id)), int(i));
    }
    EXPECT_EQ(text(control(id)), entry);
}

// The message box open now: its caption and text.
GtkWidget* messageBox() {
    GtkWidget* found = nullptr;
    GList* all = gtk_window_list_toplevels();
    for (GList* w = all; w != nullptr; w = w->next) {
        if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
            found = GTK_WIDGET(w->data);
        }
    }
    g_list_free(all);
    return found;
}

std::string boxText(GtkWidget* box) {
    if (box == nullptr) return "(no box)";
    gchar* t = nullptr;
    g_object_get(box, "text", &t, nullptr);
    std::string s = std::string(gtk_window_get_title(GTK_WINDOW(box))) + "|" + (t ? t : "");
    g_free(t);
    return s;
}

void answer(GtkWidget* box, int response) {
    if (box != nullptr) click(gtk_dialog_get_widget_for_response(GTK_DIALOG(box), response));
}

// Draws a window as it is on the screen into SHOTS/name.png.
// It waits for GTK to draw the window on the display first: it is then laid out.
void screenshot(GtkWidget* window, const char* name) {
    bool drawn = false;
    gulong handler = g_signal_connect_after(
        window, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return gboolean(FALSE);
        }),
        &drawn);
    gtk_widget_queue_draw(window);
    EXPECT(waitFor([&drawn] { return drawn; }, 5000));
    g_signal_handler_disconnect(window, handler);
    int width = gtk_widget_get_allocated_width(window);
    int height = gtk_widget_get_allocated_height(window);
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(image);
    gtk_widget_draw(window, cr);
    cairo_destroy(cr);
    std::string path = shots + "/" + name + ".png";
    cairo_status_t written = cairo_surface_write_to_png(image, path.c_str());
    cairo_surface_destroy(image);
    expect(written == CAIRO_STATUS_SUCCESS && width > 100 && height > 50, __LINE__,
           "screenshot " + path + " (" + std::to_string(width) + " x " + std::to_string(height) + ")");
}

const char kStart[] = "Initializing  WinSock...success\r\nInitializing packet event...success\r\n";
const char kStarted[] = "Starting port thread...success\r\n";

// Settings...: the loopback address, a port, the serial port picked from the
// list (or typed if it offers no such entry), OK.
void startLink(const std::string& port, const std::string& serial, bool increasePortTime) {
    next([=] {
        type(IDC_LOCAL_ADDRESS, "127.0.0.1");
        type(IDC_LOCAL_PORT, port.c_str());
        std::vector<std::string> offered = items(control(IDC_SERIAL_PORT));
        if (std::find(offered.begin(), offered.end(), serial) != offered.end()) pick(IDC_SERIAL_PORT, serial);
        else type(IDC_SERIAL_PORT, serial.c_str());
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(control(IDC_INCREASE_PORT_TIME)),
                                     increasePortTime);
        click(control(kIdOk));
    });
    size_t before = logText().size();
    click(panelButton(SettingsButton));
    EXPECT(openDialog() == nullptr);
    EXPECT(waitFor([&] { return logText().find(kStarted, before) != std::string::npos; }, 10000));
}

// ---- the window

void startsAsOnWindows() {
    GtkWidget* w = mainWindowWidget();
    EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(w))), "Zavik 0.1\xC3\x9F");
    EXPECT(!gtk_window_get_resizable(GTK_WINDOW(w)));
    EXPECT_EQ(logText(), kStart);
    EXPECT_EQ(button(SettingsButton), "Settings...:1036:1");
    EXPECT_EQ(button(ConnectButton), "Connect...:1037:0");
    EXPECT_EQ(button(ListenButton), "Listen:1012:0");
    for (int id : {IDC_LOCAL_GROUP, IDC_REMOTE_GROUP, IDC_STATUS_GROUP}) {
        EXPECT_EQ(text(gtk_frame_get_label_widget(GTK_FRAME(panelControl(id)))) +
                      (groupCaptionEnabled(id) ? "" : " (greyed)"),
                  std::string(id == IDC_LOCAL_GROUP    ? "Local Packets"
                              : id == IDC_REMOTE_GROUP ? "Remote Packets"
                                                       : "Status") +
                      " (greyed)");
    }
    for (int id : {IDC_LOCAL_RECVD, IDC_REMOTE_STORED, IDC_PING, IDC_ERRORS}) {
        EXPECT_EQ(text(panelControl(id)), "0");
    }
    GList* icons = gtk_window_get_default_icon_list();
    EXPECT(g_list_length(icons) == 3);
    g_list_free(icons);
    screenshot(w, "main-window");
}

void settingsDialogShowsTheSettings() {
    next([] {
        GtkWidget* d = dialogWindow(openDialog());
        EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(d))), "Settings");
        char first[16];
        netFormatAddress(linkState.localAddresses[0], first);
        EXPECT_EQ(text(control(IDC_LOCAL_ADDRESS)), first);
        EXPECT_EQ(text(control(IDC_LOCAL_PORT)), "3975");
        std::vector<std::string> serial = items(control(IDC_SERIAL_PORT));
        EXPECT(serial.size() >= 5 && serial[0] == "COM1" && serial[3] == "COM4" && serial.back() == "sim");
        EXPECT_EQ(text(control(IDC_SERIAL_PORT)), "COM1");
        EXPECT_EQ(text(control(IDC_PORT_SPEED)), "115200");
        EXPECT(!gtk_widget_is_sensitive(control(IDC_PORT_SPEED)));
        EXPECT(items(control(IDC_VSYNC_ADJUST)) == (std::vector<std::string>{"-2", "-1", "0", "1", "2"}));
        EXPECT_EQ(text(control(IDC_VSYNC_ADJUST)), "0");
        screenshot(d, "settings-dialog");
        click(control(kIdCancel));
    });
    click(panelButton(SettingsButton));
    EXPECT(openDialog() == nullptr);
    EXPECT_EQ(logText(), kStart);
}

// A refused entry shows its box over the dialog, which stays open.
void refusedEntriesShowTheirBox() {
    struct Row {
        PanelButton opens;
        int field;
        const char* entry;
        const char* box;
        const char* shot;
    } rows[] = {
        {SettingsButton, IDC_LOCAL_ADDRESS, "255.255.255.255", "Error|Valid local IP required",
         "settings-refused"},
        {ConnectButton, IDC_REMOTE_PORT, "50000", "Error|Valid socket port required", "connect-refused"},
    };
    for (const Row& row : rows) {
        next([&row] {
            if (row.opens == ConnectButton) type(IDC_REMOTE_ADDRESS, "192.0.2.1");
            type(row.field, row.entry);
            next([&row] {
                GtkWidget* box = messageBox();
                EXPECT_EQ(boxText(box), row.box);
                if (box != nullptr) screenshot(box, row.shot);
                answer(box, GTK_RESPONSE_OK);
            });
            click(control(kIdOk));
            EXPECT(openDialog() != nullptr && gtk_widget_get_visible(dialogWindow(openDialog())));
            EXPECT_EQ(text(control(row.field)), row.entry);
            click(control(kIdCancel));
        });
        click(panelButton(row.opens));
        EXPECT(openDialog() == nullptr);
    }
}

// A loopback UDP port that is free now, within the 1..49999 the program takes.
std::string freeUdpPort() {
    for (int i = 0; i < 100; ++i) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        close(s);
        if (bound && ntohs(address.sin_port) <= 49999) return std::to_string(ntohs(address.sin_port));
    }
    return "0";
}

void linkStartGreysTheGroups() {
    std::string port = freeUdpPort();
    startLink(port, "sim", true);
    EXPECT_EQ(button(ConnectButton), "Connect...:1037:1");
    EXPECT_EQ(button(ListenButton), "Listen:1012:1");
    EXPECT(!groupCaptionEnabled(IDC_LOCAL_GROUP) && !groupCaptionEnabled(IDC_STATUS_GROUP));
    startLink(port, "sim", false);
    EXPECT(groupCaptionEnabled(IDC_LOCAL_GROUP) && groupCaptionEnabled(IDC_REMOTE_GROUP) &&
           groupCaptionEnabled(IDC_STATUS_GROUP));
    EXPECT_EQ(linkState.serialPortName, std::string("sim"));
}

void connectDialogShowsThePeer() {
    next([] {
        GtkWidget* d = dialogWindow(openDialog());
        EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(d))), "Create Connection");
        EXPECT_EQ(text(control(IDC_REMOTE_PORT)), "50000"); // the refused port, kept
        screenshot(d, "connect-dialog");
        g_signal_emit_by_name(d, "close"); // Esc: Cancel
    });
    click(panelButton(ConnectButton));
    EXPECT(openDialog() == nullptr);
    EXPECT(gtk_widget_is_focus(panelButton(ConnectButton)));
}

void listenAndCancelSwapTheButton() {
    size_t mark = logText().size();
    click(panelButton(ListenButton));
    EXPECT_EQ(button(ListenButton), "Cancel:1061:1");
    EXPECT_EQ(button(SettingsButton), "Settings...:1036:0");
    EXPECT_EQ(button(ConnectButton), "Connect...:1037:0");
    EXPECT(endsWith(logText().substr(mark), "Listening for connection ..."));
    screenshot(mainWindowWidget(), "main-window-listening");
    click(panelButton(ListenButton));
    EXPECT_EQ(button(ListenButton), "Listen:1012:1");
    EXPECT_EQ(button(SettingsButton), "Settings...:1036:1");
    EXPECT_EQ(button(ConnectButton), "Connect...:1037:1");
    EXPECT(endsWith(logText(), "cancelled\r\n")); // the simulated console may log between
}

// The port thread gives up on its device (as when an adapter is pulled out):
// the window thread ends the link, and Settings... chooses a port again.
void aLostSerialDeviceEndsTheLink() {
    std::string port = freeUdpPort();
    startLink(port, "sim", false);
    SerialPort* lost = linkState.serialPort;
    std::thread portThreadsEnd([lost] { handOverPortLost(lost); });
    portThreadsEnd.join();
    EXPECT(waitFor([] { return linkState.serialPort == nullptr; }, 10000));
    EXPECT_EQ(button(SettingsButton), "Settings...:1036:1");
    EXPECT_EQ(button(ConnectButton), "Connect...:1037:0");
    EXPECT_EQ(button(ListenButton), "Listen:1012:0");
    startLink(port, "sim", false);
    EXPECT_EQ(button(ListenButton), "Listen:1012:1");
}

// The device is lost while the Connect dialog or the transfer warning is up,
// and OK or Yes is pressed after the news: the link ends once the window has
// returned, with no attempt on the closed port and no second disconnect.
void aLostSerialDeviceUnderAModalWindow() {
    std::string port = freeUdpPort();
    int peer = socket(AF_INET, SOCK_DGRAM, 0);
    for (bool transfer : {false, true}) {
        startLink(port, "sim", false);
        if (transfer) { // connected through Listen, in a transfer
            click(panelButton(ListenButton));
            const sockaddr_in to{AF_INET, htons(uint16_t(std::stoi(port))), {htonl(INADDR_LOOPBACK)}, {}};
            const uint8_t request[8] = {ConnectRequest};
            sendto(peer, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            EXPECT(waitFor([] { return linkState.connectionState == Connected; }, 5000));
            linkState.transferStage = 8;
        }
        next([] {
            SerialPort* lost = linkState.serialPort; // its port thread gives up
            std::thread([lost] { handOverPortLost(lost); }).join();
            settle(); // the news reaches the window thread inside the modal loop
            if (messageBox() != nullptr) return answer(messageBox(), GTK_RESPONSE_YES);
            type(IDC_REMOTE_ADDRESS, "127.0.0.1");
            type(IDC_REMOTE_PORT, "3975");
            click(control(kIdOk));
        });
        click(panelButton(transfer ? ListenButton : ConnectButton));
        EXPECT(waitFor([] { return linkState.serialPort == nullptr; }, 10000));
        EXPECT(linkState.connectionState == Idle);
        EXPECT_EQ(button(SettingsButton), "Settings...:1036:1");
        EXPECT_EQ(button(ConnectButton), "Connect...:1037:0");
        EXPECT_EQ(button(ListenButton), "Listen:1012:0");
        int notices = 0;
        uint8_t got[100];
        for (pollfd p{peer, POLLIN, 0}; poll(&p, 1, 300) > 0;)
            notices += recv(peer, got, sizeof got, 0) == 8 && got[0] == DisconnectNotice;
        EXPECT(notices == (transfer ? 2 : 0)); // those of one disconnect
    }
    close(peer);
    startLink(port, "sim", false);
}

// A warning repeated within its second past the five written: the count comes
// in a line of its own when the window's warning timer has run.
void repeatedWarningsAreCountedByTheTimer() {
    for (int i = 0; i < 5; ++i) warnRepeated(WarnBadSize, "WARN: a test warning\r\n");
    const size_t mark = logText().size();
    warnRepeated(WarnBadSize, "WARN: a test warning\r\n");
    EXPECT(logText().size() == mark); // counted, not written
    // (The simulated console of the link started before may log meanwhile.)
    EXPECT(waitFor([mark] { return logText().find("WARN: ", mark) != std::string::npos; }, 5000));
}

// ---- a link with a peer

std::string linkPort, peerPort, serial;

void connectsTransfersAndDisconnects() {
    startLink(linkPort, serial, false);
    EXPECT(waitFor([] { uint32_t v[10]; statisticsValues(v); return v[0] > 0; }, 10000));
    next([] {
        type(IDC_REMOTE_ADDRESS, "127.0.0.1");
        type(IDC_REMOTE_PORT, peerPort.c_str());
        click(control(kIdOk));
    });
    click(panelButton(ConnectButton));
    EXPECT(waitFor([] { return endsWith(logText(), "connected!\r\n"); }, 15000));
    EXPECT_EQ(button(ConnectButton), "Disconnect:1060:1");
    EXPECT_EQ(button(SettingsButton), "Settings...:1036:0");
    EXPECT_EQ(button(ListenButton), "Listen:1012:0");

    // The consoles' transfer, and the counters shown as they stand after it.
    EXPECT(waitFor([] { return logText().find("Transfer has finished.\r\n") != std::string::npos; },
                   60000));
    const int ids[6] = {IDC_LOCAL_RECVD,  IDC_LOCAL_SENT,  IDC_LOCAL_STORED,
                        IDC_REMOTE_RECVD, IDC_REMOTE_SENT, IDC_REMOTE_STORED};
    auto shownAreValues = [&ids] {
        uint32_t v[10];
        statisticsValues(v);
        for (int i = 0; i < 6; ++i) {
            if (text(panelControl(ids[i])) != std::to_string(v[i])) return false;
        }
        return v[0] > 0 && v[3] > 0 && v[5] == 0; // the peer's packets all delivered
    };
    EXPECT(waitFor(shownAreValues, 10000));
    screenshot(mainWindowWidget(), "main-window-connected");

    // The peer's console has its packets too before the link goes: the test
    // that runs the peer says so on standard input.
    std::printf("transferred\n");
    std::fflush(stdout);
    EXPECT(waitFor([] { pollfd in{0, POLLIN, 0}; return poll(&in, 1, 0) > 0; }, 30000));

    next([] { answer(messageBox(), GTK_RESPONSE_YES); }); // only if a transfer runs again
    click(panelButton(ConnectButton));
    // Both are Zavik: the link ran with loss recovery, and says what it recovered.
    EXPECT(endsWith(logText(), "Sending disconnect packet...disconnected\r\n"
                               "Loss recovery: 0 packets recovered from later copies\r\n"));
    EXPECT_EQ(button(ConnectButton), "Connect...:1037:1");
    EXPECT_EQ(button(SettingsButton), "Settings...:1036:1");
}

// ---- the run

GtkTextBuffer* keptLog = nullptr;
std::string scenario;

void closeTheWindow() {
    keptLog = GTK_TEXT_BUFFER(g_object_ref(logBuffer())); // read once the window is gone
    gtk_window_close(GTK_WINDOW(mainWindowWidget()));
}

gboolean play(gpointer) {
    if (scenario == "window") {
        runGroup("the window at start", startsAsOnWindows);
        runGroup("the Settings dialog", settingsDialogShowsTheSettings);
        runGroup("a link start greys the counters' groups", linkStartGreysTheGroups);
        runGroup("refused entries", refusedEntriesShowTheirBox);
        runGroup("the Connect dialog, Esc", connectDialogShowsThePeer);
        runGroup("Listen and Cancel", listenAndCancelSwapTheButton);
        runGroup("a lost serial device", aLostSerialDeviceEndsTheLink);
        runGroup("a lost serial device under a modal window", aLostSerialDeviceUnderAModalWindow);
        runGroup("repeated warnings", repeatedWarningsAreCountedByTheTimer);
    } else {
        runGroup("a link: connect, a transfer, disconnect", connectsTransfersAndDisconnects);
    }
    closeTheWindow();
    return G_SOURCE_REMOVE;
}

constexpr int kLimitS = 120; // for the whole run, sanitizers and a busy machine included

gboolean watchdog(gpointer) {
    std::printf("FAIL %s: no end after %d s\n", group, kLimitS);
    std::fflush(stdout);
    std::_Exit(1);
}

} // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    scenario = argc > 1 ? argv[1] : "";
    if (argc < 3 || !((scenario == "window" && argc == 3) || (scenario == "link" && argc == 6))) {
        std::fprintf(stderr, "usage: zavik_gtktest window SHOTS | link SHOTS PORT PEER SERIAL\n");
        return 2;
    }
    shots = argv[2];
    if (scenario == "link") {
        linkPort = argv[3];
        peerPort = argv[4];
        serial = argv[5];
    }
    g_idle_add(play, nullptr);
    g_timeout_add_seconds(kLimitS, watchdog, nullptr);
    int code = runGtkFrontEnd();

    group = "close";
    groupOk = true;
    EXPECT(mainWindowWidget() == nullptr);
    EXPECT(code == 0);
    EXPECT(keptLog != nullptr && endsWith(logText(keptLog), "Closing serial port\r\n"));
    if (!groupOk) ++failures;
    std::printf("%s close (exit code %d)\n", groupOk ? "ok  " : "FAIL", code);
    return failures == 0 ? 0 : 1;
}
