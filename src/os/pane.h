// The panel's log pane and counter fields, as the log module drives them. Defined
// by each front end; called on the window thread only, also while it holds the
// link lock: none of them waits for anything outside the program (a front end
// that copies the log elsewhere queues it, as the Linux one does).
#pragma once

#include <cstdint>

// Appends text at the end of the log (select end, replace selection, scroll).
void paneAppend(const char* text);
// Empties the log.
void paneClear();
// Writes an unsigned decimal into a counter field.
void paneSetCounter(int controlId, uint32_t value);
// Asks the window thread, from the port thread, to call deliverHandOffs soon.
void wakeWindowThread();
