// How zavik shows the log on standard output: plain lines ("\n" line ends),
// or, on a terminal, the same lines with a status line below them that is
// redrawn in place. Everything goes out through the log's output queue, so a
// terminal that stops reading never holds up the link. Window thread only.
#pragma once

enum class LogView { Quiet, Lines, Terminal };

// Takes over the log pane's output (ui/posix/front_end.h).
void terminalStart(LogView view);

// Terminal: the log lines that came since the last redraw, then the status
// line in place of the old one. Called at most every 250 ms.
void terminalRedraw(const char* status);
// The last redraw, and the cursor left below the status line.
void terminalEnd(const char* status);

// The last line of the log that has text (without its line end), to repeat
// on standard error when the link cannot start.
const char* terminalLastLine();
