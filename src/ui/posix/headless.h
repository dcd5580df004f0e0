// The headless front end's dialogs: records of their controls, filled by what
// the person "types" through a command before it presses the panel's button.
#pragma once

#include <string>

enum class Script { None, Settings, Connect, ConnectCancel };

struct Pending {
    Script script = Script::None;
    std::string address, port, serial, vsync;
    bool increasePortTime = false, highPriority = false;
};

// What the next dialog that opens is given; reset to nothing after the command.
extern Pending pending;

// True once the main window has been destroyed (the program is shutting down).
bool mainWindowDestroyed();
