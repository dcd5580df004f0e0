// The socket library on Linux: BSD sockets. Start-up and clean-up have nothing
// to do.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "os/udp.h"

namespace {
thread_local int lastError = 0; // per thread, as WSAGetLastError

int fail() {
    lastError = errno;
    return -1;
}

sockaddr_in toSockaddr(const SocketAddress& a) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = a.port;
    s.sin_addr.s_addr = a.address;
    return s;
}
} // namespace

int netStartup() { return 0; }
void netCleanup() {}

int netHostName(char* name, int size) {
    if (gethostname(name, size_t(size)) != 0) return 0;
    name[size - 1] = '\0';
    return 1;
}

int netHostAddresses(const char* name, uint32_t* addresses, int max) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
    int n = 0;
    for (addrinfo* a = list; a != nullptr && n < max; a = a->ai_next) {
        uint32_t address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (int i = 0; i < n; ++i) seen = seen || addresses[i] == address;
        if (!seen) addresses[n++] = address;
    }
    freeaddrinfo(list);
    return n;
}

uint32_t netParseAddress(const char* text) { return inet_addr(text); }

void netFormatAddress(uint32_t address, char* out) {
    in_addr a;
    a.s_addr = address;
    inet_ntop(AF_INET, &a, out, 16);
}

uint16_t netToNetworkPort(uint16_t port) { return htons(port); }
uint16_t netFromNetworkPort(uint16_t port) { return ntohs(port); }

uintptr_t netSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        fail();
        return 0;
    }
    if (fd == 0) { // 0 means "no socket" to the program
        int other = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (other < 0) {
            fail();
            return 0;
        }
        fd = other;
    }
    return uintptr_t(fd);
}

int netBind(uintptr_t socket, const SocketAddress& address) {
    sockaddr_in s = toSockaddr(address);
    if (bind(int(socket), reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
        fail();
        return 0;
    }
    return 1;
}

void netCloseSocket(uintptr_t socket) { close(int(socket)); }

int netSendTo(uintptr_t socket, const uint8_t* data, int length, const SocketAddress& to) {
    sockaddr_in s = toSockaddr(to);
    ssize_t n = sendto(int(socket), data, size_t(length), 0, reinterpret_cast<sockaddr*>(&s),
                       sizeof s);
    return n < 0 ? fail() : int(n);
}

namespace {
// A datagram longer than the buffer is a failed read, and lost, as with WinSock.
int receive(int fd, uint8_t* buffer, int length, sockaddr_in* from) {
    socklen_t fromLength = sizeof *from;
    ssize_t n = recvfrom(fd, buffer, size_t(length), MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(from), &fromLength);
    if (n < 0) return fail();
    if (n > length) {
        lastError = EMSGSIZE;
        return -1;
    }
    return int(n);
}
} // namespace

int netRecvFrom(uintptr_t socket, uint8_t* buffer, int length, SocketAddress* from) {
    sockaddr_in s{};
    int n = receive(int(socket), buffer, length, &s);
    if (n >= 0) *from = SocketAddress{kAfInet, s.sin_port, s.sin_addr.s_addr};
    return n;
}

int netLastError() { return lastError; }
