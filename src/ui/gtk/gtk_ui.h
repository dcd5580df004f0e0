// The GTK front end (zavik-gtk): the main window with the panel, the Settings
// and Connect dialogs and the message boxes as GTK 3 widgets, with GTK's main
// loop as the window thread. Window thread only, except wakeWindowThread.
// What the program's entry and the test program reach of it is declared here.
#pragma once

#include <gtk/gtk.h>

#include "core/view.h"

// The dialogs' OK and Cancel buttons, by the ids they have on Windows.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// Builds the main window and the panel, runs the panel's initialisation (the
// log's first lines), shows the window and runs GTK's main loop until the
// window has been destroyed. gtk_init has run. Returns the exit code, 0.
// recovery: whether the side offers loss recovery (--no-recovery: not).
int runGtkFrontEnd(bool recovery = true);

// ---- the main window (panel_gtk.cpp); null before it is built and after it
// was destroyed ----
GtkWidget* mainWindowWidget();
GtkWidget* panelButton(PanelButton button);
int panelButtonId(PanelButton button); // the id its clicks run, which the link swaps
GtkWidget* logView();                  // the log pane: a GtkTextView
// A group box (IDC_LOCAL_GROUP, ...) or a counter field (IDC_LOCAL_RECVD, ...).
GtkWidget* panelControl(int id);
void buildMainWindow();

// ---- the window thread's sources (loop_gtk.cpp) ----
// The port thread's wake-up and the signals that close the window; before the
// panel's initialisation.
void startWindowThreadSources();

// ---- the modal dialogs (dialogs_gtk.cpp) ----
struct DialogWindow;
DialogWindow* openDialog(); // the Settings or Connect dialog open now, or null
GtkWidget* dialogWindow(DialogWindow* dialog);
GtkWidget* dialogControl(DialogWindow* dialog, int id); // kIdOk and kIdCancel too
// The modal window that message boxes and dialogs belong to now: the open
// dialog, else the main window.
GtkWindow* modalOwner();
