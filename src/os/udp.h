// The socket library as the program uses it: WinSock 1.1 on Windows, BSD
// sockets on Linux, a double in the tests.
#pragma once

#include <cstdint>

#include "os/types.h"

// Starts the socket library (WSAStartup 1.1); 0 on success, else the error code
// it returned.
int netStartup();
void netCleanup();

// The host's name (gethostname); 1 on success.
int netHostName(char* name, int size);
// The host's IPv4 addresses, network byte order, in the resolver's order, at
// most max. Returns the count, or -1 when the name resolves to nothing.
int netHostAddresses(const char* name, uint32_t* addresses, int max);

// inet_addr: the address in network byte order, or kAddressNone.
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;
uint32_t netParseAddress(const char* text);
// inet_ntoa into out (at least 16 bytes).
void netFormatAddress(uint32_t address, char* out);
uint16_t netToNetworkPort(uint16_t port);   // htons
uint16_t netFromNetworkPort(uint16_t port); // ntohs

// How many bytes an address typed into a dialog keeps, its end included: 20
// with WinSock 1.1 (dotted IPv4), more where IPv6 is spoken; at most
// kAddressTextSize.
int netAddressTextSize();
// The socket address of an address's text and a port (host order). IPv4 text
// is read as inet_addr reads it, and out is set even when it fails (to the
// failure value); where IPv6 is spoken, IPv6 text too. 1 when the text is an
// address, else 0.
int netMakeAddress(const char* text, uint16_t port, SocketAddress* out);
// An address's text without its port (dotted IPv4, or IPv6 in its shortest
// form with "%interface" for a scope) into out (kAddressTextSize bytes).
void netAddressText(const SocketAddress& address, char* out);

// A UDP socket (SOCK_DGRAM, IPPROTO_UDP) of a family (kAfInet, or kAfInet6 for
// one that takes both families); 0 on failure.
uintptr_t netSocket(uint16_t family);
int netBind(uintptr_t socket, const SocketAddress& address); // 1 on success
void netCloseSocket(uintptr_t socket);

// Datagram I/O: the byte count, or -1 on failure (netLastError). A datagram
// longer than length is a failure with the message-too-long error and is lost.
int netSendTo(uintptr_t socket, const uint8_t* data, int length, const SocketAddress& to);
int netRecvFrom(uintptr_t socket, uint8_t* buffer, int length, SocketAddress* from);

int netLastError();
