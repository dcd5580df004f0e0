// zavik-gtk: the program's window on a Linux desktop, GTK 3. The panel, the
// dialogs and the link are the same code as in every front end (ui/, core/,
// net/, serial/); this front end draws them and runs the window thread.
#include <signal.h>

#include "ui/gtk/gtk_ui.h"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    gtk_init(&argc, &argv);
    return runGtkFrontEnd();
}
