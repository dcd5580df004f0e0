// The connection protocol spoken with the peer: control datagrams, the four
// connection states and the panel's buttons in each. Window thread only.
#pragma once

#include <cstdint>

#include "core/link_state.h"
#include "core/view.h"

int sendControl(DatagramType type);
int acceptPeer();
int beginConnect();
// The Connect dialog was accepted and beginConnect returned 1.
void enterConnecting();
void beginListen();
// The command of the Connect button under id 1060 or the Listen button under 1061.
void endConnection(PanelButton button);
int confirmLeave(const char* caption);
// The serial port is lost: a connection ends as a local disconnect ends it (no
// question asked), an attempt or a listen is cancelled; the link is no longer
// started, so Settings is enabled and Connect and Listen are not.
void endConnectionForLostPort();
void readDatagram();
void onDatagram(const uint8_t* datagram, int length);
void onRetryTimer();
