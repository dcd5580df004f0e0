// The view (core/view.h) as the link checks of the core and the layers beside
// it see it: each front end defines it in a program; here it does nothing, as
// these programs never run. A new function of the view is added here too.
#include "core/view.h"

void buttonSetCaption(PanelButton, const char*) {}
void buttonSetId(PanelButton, int) {}
void buttonEnable(PanelButton, bool) {}
void buttonFocus(PanelButton) {}
void retryTimerStart() {}
void retryTimerKill() {}
void warningTimerStart(uint32_t) {}
int socketNotifyStart(uintptr_t) { return 0; }
void socketNotifyStop(uintptr_t) {}
int askYesNo(const char*, const char*) { return 0; }
void paneAppend(const char*) {}
void paneClear() {}
void paneSetCounter(int, uint32_t) {}
void wakeWindowThread() {}
