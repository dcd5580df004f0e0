// The news that the port thread ended because its serial device stopped
// answering: a hand-off of its own from the port thread to the window thread,
// which then ends the link (the port thread never touches the window).
#pragma once

struct SerialPort;

// Port thread: its end, with the port it had. Its log lines before it reach the
// pane first. Wakes the window thread's loop.
void handOverPortLost(SerialPort* port);
// Window thread: the port whose thread so ended (null if none), taken, after
// the port thread's log lines up to the news have been delivered.
SerialPort* takePortLost();
// The same, left in place (the news waits while a dialog is open).
SerialPort* peekPortLost();
