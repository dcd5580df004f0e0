// (being written)
#include "core/protocol.h"
int sendControl(DatagramType) { return 0; }
int acceptPeer() { return 0; }
int beginConnect() { return 0; }
void enterConnecting() {}
void beginListen() {}
void endConnection(PanelButton) {}
int confirmLeave(const char*) { return 1; }
void readDatagram() {}
void onDatagram(const uint8_t*, int) {}
void onRetryTimer() {}
