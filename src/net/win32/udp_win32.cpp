// The socket library on Windows: WinSock 1.1.
#include <windows.h>
#include <winsock.h>

#include <cstring>

#include "os/udp.h"

namespace {
sockaddr_in toSockaddr(const SocketAddress& a) {
    sockaddr_in s{};
    s.sin_family = short(a.family);
    s.sin_port = a.port;
    s.sin_addr.s_addr = a.address;
    return s;
}
} // namespace

int netStartup() {
    WSADATA data;
    return WSAStartup(0x0101, &data);
}

void netCleanup() { WSACleanup(); }

int netHostName(char* name, int size) {
    if (size <= 0 || gethostname(name, size) != 0) return 0;
    name[size - 1] = '\0';
    return 1;
}

int netHostAddresses(const char* name, uint32_t* addresses, int max) {
    hostent* host = gethostbyname(name);
    if (host == nullptr) return -1;
    int n = 0;
    if (host->h_addr_list == nullptr || host->h_length < 4) return 0;
    for (char** entry = host->h_addr_list; *entry != nullptr && n < max; ++entry) {
        std::memcpy(&addresses[n++], *entry, 4);
    }
    return n;
}

uint32_t netParseAddress(const char* text) { return inet_addr(text); }

void netFormatAddress(uint32_t address, char* out) {
    in_addr a;
    a.s_addr = address;
    const char* text = inet_ntoa(a);
    if (text == nullptr) text = "";
    int n = 0;
    while (n < 15 && text[n] != '\0') {
        out[n] = text[n];
        ++n;
    }
    out[n] = '\0';
}

uint16_t netToNetworkPort(uint16_t port) { return htons(port); }
uint16_t netFromNetworkPort(uint16_t port) { return ntohs(port); }

// WinSock 1.1 speaks IPv4 only: dotted text of at most 19 characters.
int netAddressTextSize() { return 20; }

int netMakeAddress(const char* text, uint16_t port, SocketAddress* out) {
    *out = SocketAddress{};
    out->family = kAfInet;
    out->port = htons(port);
    out->address = inet_addr(text);
    return out->address != INADDR_NONE;
}

void netAddressText(const SocketAddress& address, char* out) {
    netFormatAddress(address.address, out);
}

uintptr_t netSocket(uint16_t) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return s == INVALID_SOCKET ? 0 : uintptr_t(s);
}

int netBind(uintptr_t socket, const SocketAddress& address) {
    sockaddr_in s = toSockaddr(address);
    return bind(SOCKET(socket), reinterpret_cast<const sockaddr*>(&s), sizeof s) == 0 ? 1 : 0;
}

void netCloseSocket(uintptr_t socket) { closesocket(SOCKET(socket)); }

int netSendTo(uintptr_t socket, const uint8_t* data, int length, const SocketAddress& to) {
    sockaddr_in s = toSockaddr(to);
    int n = sendto(SOCKET(socket), reinterpret_cast<const char*>(data), length, 0,
                   reinterpret_cast<const sockaddr*>(&s), sizeof s);
    return n == SOCKET_ERROR ? -1 : n;
}

int netRecvFrom(uintptr_t socket, uint8_t* buffer, int length, SocketAddress* from) {
    sockaddr_in s{};
    int size = sizeof s;
    int n = recvfrom(SOCKET(socket), reinterpret_cast<char*>(buffer), length, 0,
                     reinterpret_cast<sockaddr*>(&s), &size);
    if (n == SOCKET_ERROR) return -1;
    *from = SocketAddress{kAfInet, s.sin_port, s.sin_addr.s_addr};
    return n;
}

int netLastError() { return WSAGetLastError(); }
