// Linux-only helpers shared by the platform files.
#pragma once

#include "os/system.h"

// The eventfd behind a WakeEvent, for poll().
int wakeEventFd(WakeEvent* event);
// Takes the event's signal if it is set (the auto reset); true if it was set.
bool wakeEventTake(WakeEvent* event);
