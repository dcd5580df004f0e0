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

// A UDP socket (AF_INET, SOCK_DGRAM, IPPROTO_UDP); 0 on failure.
uintptr_t netSocket();
int netBind(uintptr_t socket, const SocketAddress& address); // 1 on success
void netCloseSocket(uintptr_t socket);

// Datagram I/O: the byte count, or -1 on failure (netLastError). A datagram
// longer than length is a failure with the message-too-long error and is lost.
int netSendTo(uintptr_t socket, const uint8_t* data, int length, const SocketAddress& to);
int netRecvFrom(uintptr_t socket, uint8_t* buffer, int length, SocketAddress* from);

int netLastError();
