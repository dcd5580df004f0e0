// The state of a freshly started program for the platform tests: the test's
// thread is the window thread, nothing is left over from an earlier test in the
// hand-off queue, the link state or the log.
#pragma once

#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "core/warnings.h"

inline void startFreshProgram() {
    setWindowThread();
    deliverHandOffs();
    initLinkState();
    linkState.recovery.enabled = false; // the four first datagram types only
    resetRepeatedWarnings();
    paneClear();
}
