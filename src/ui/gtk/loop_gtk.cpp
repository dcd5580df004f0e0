// The window thread of zavik-gtk is GTK's main loop. What arrives on it
// besides the window's own events are GLib sources: the UDP socket's read
// watch, the connect retry and warning timers, the port thread's wake-up (an
// eventfd) and the signals that close the window.
#include <glib-unix.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "ui/gtk/gtk_ui.h"
#include "ui/panel.h"
#include "ui/posix/process_ends.h"

namespace {

// The socket is read at the priority GTK redraws at, so that drawing the
// window takes turns with reading datagrams however fast they come; a
// datagram waits at most for one pass over the window's own events.
constexpr int kSocketPriority = GDK_PRIORITY_REDRAW;

guint socketWatch = 0;
guint retryTimer = 0;
guint warningTimer = 0;
int wakeFd = -1;

// Level-triggered: while a datagram waits the socket stays readable, so each
// waiting datagram gets one notification.
gboolean onSocketReadable(gint, GIOCondition, gpointer) {
    panelSocketEvent(0, true);
    return G_SOURCE_CONTINUE;
}

gboolean onRetryTimer(gpointer) {
    panelTimer(kConnectRetryTimer);
    return G_SOURCE_CONTINUE;
}

gboolean onWarningTimer(gpointer) {
    warningTimer = 0; // it runs once
    panelTimer(kWarningTimer);
    return G_SOURCE_REMOVE;
}

gboolean onWake(gint fd, GIOCondition, gpointer) {
    uint64_t count;
    ssize_t r = read(fd, &count, sizeof count);
    (void)r;
    panelHandOffs();
    return G_SOURCE_CONTINUE;
}

// SIGINT, SIGTERM and SIGHUP close the window as its close box does (a second
// SIGINT ends the program at once).
gboolean onSignal(gint, GIOCondition, gpointer) {
    if (takeCloseSignal() != 0 && mainWindowWidget() != nullptr) onMainWindowClose();
    return G_SOURCE_CONTINUE;
}

} // namespace

int socketNotifyStart(uintptr_t socket) {
    socketNotifyStop(0);
    socketWatch = g_unix_fd_add_full(kSocketPriority, int(socket), GIOCondition(G_IO_IN | G_IO_ERR),
                                     onSocketReadable, nullptr, nullptr);
    return 1;
}

void socketNotifyStop(uintptr_t) {
    if (socketWatch != 0) g_source_remove(socketWatch);
    socketWatch = 0;
}

// As SetTimer does, a second start replaces the running timer.
void retryTimerStart() {
    retryTimerKill();
    retryTimer = g_timeout_add(kConnectRetryMs, onRetryTimer, nullptr);
}

void retryTimerKill() {
    if (retryTimer != 0) g_source_remove(retryTimer);
    retryTimer = 0;
}

void warningTimerStart(uint32_t ms) {
    if (warningTimer != 0) g_source_remove(warningTimer);
    warningTimer = g_timeout_add(ms, onWarningTimer, nullptr);
}

// Any thread; allocates nothing.
void wakeWindowThread() {
    uint64_t one = 1;
    ssize_t r = write(wakeFd, &one, sizeof one);
    (void)r;
}

void startWindowThreadSources() {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    g_unix_fd_add(wakeFd, G_IO_IN, onWake, nullptr);
    const int signals = watchCloseSignals();
    if (signals >= 0) g_unix_fd_add(signals, G_IO_IN, onSignal, nullptr);
}

int runGtkFrontEnd(bool recovery) {
    setWindowThread();
    initLinkState();
    linkState.recovery.enabled = recovery;
    startWindowThreadSources();
    buildMainWindow();
    initPanel(); // enables Settings... when it succeeds
    gtk_widget_show_all(mainWindowWidget());
    gtk_main();
    return 0;
}
