// zavik-gtk: the program's window on a Linux desktop, GTK 3. The panel, the
// dialogs and the link are the same code as in every front end (ui/, core/,
// net/, serial/); this front end draws them and runs the window thread.
#include "ui/gtk/gtk_ui.h"
#include "ui/posix/process_ends.h"

int main(int argc, char** argv) {
    ensureStandardStreams(); // before anything opens a file
    gtk_init(&argc, &argv);
    bool recovery;
    if (!readRecoverySwitch("zavik-gtk", argc, argv, &recovery)) return 2;
    return runGtkFrontEnd(recovery);
}
