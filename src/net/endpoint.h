// The program's one UDP endpoint and the socket library under it. Window thread.
#pragma once

int startWinsock();
int openUdpSocket();
int armSocketNotification();
// The socket half of closeLink.
void closeUdpSocket();
