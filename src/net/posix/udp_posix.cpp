// The socket library on Linux: BSD sockets, IPv4 and IPv6. Start-up and
// clean-up have nothing to do.
//
// An IPv6 socket takes both families (IPV6_V6ONLY off). What it receives from
// an IPv4 peer comes as an IPv4-mapped address (::ffff:a.b.c.d) and is handed
// up as the IPv4 address it is; an IPv4 address sent to goes out mapped. So
// the rest of the program sees an IPv4 peer the same on either socket.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "os/udp.h"

namespace {
thread_local int lastError = 0; // per thread, as WSAGetLastError

int fail() {
    lastError = errno;
    return -1;
}

// The system's form of an address; an IPv4 one mapped when the socket is IPv6.
socklen_t toSockaddr(const SocketAddress& a, bool mapped, sockaddr_storage* out) {
    *out = sockaddr_storage{};
    if (a.family == kAfInet6 || mapped) {
        auto* s = reinterpret_cast<sockaddr_in6*>(out);
        s->sin6_family = AF_INET6;
        s->sin6_port = a.port;
        if (a.family == kAfInet6) {
            std::memcpy(&s->sin6_addr, a.address6, 16);
            s->sin6_scope_id = a.scope;
        } else {
            s->sin6_addr.s6_addr[10] = 0xFF;
            s->sin6_addr.s6_addr[11] = 0xFF;
            std::memcpy(&s->sin6_addr.s6_addr[12], &a.address, 4);
        }
        return sizeof(sockaddr_in6);
    }
    auto* s = reinterpret_cast<sockaddr_in*>(out);
    s->sin_family = AF_INET;
    s->sin_port = a.port;
    s->sin_addr.s_addr = a.address;
    return sizeof(sockaddr_in);
}

SocketAddress fromSockaddr(const sockaddr_storage& from) {
    SocketAddress a{};
    if (from.ss_family == AF_INET6) {
        const auto* s = reinterpret_cast<const sockaddr_in6*>(&from);
        a.port = s->sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&s->sin6_addr)) {
            a.family = kAfInet;
            std::memcpy(&a.address, &s->sin6_addr.s6_addr[12], 4);
        } else {
            a.family = kAfInet6;
            std::memcpy(a.address6, &s->sin6_addr, 16);
            a.scope = s->sin6_scope_id;
        }
    } else {
        const auto* s = reinterpret_cast<const sockaddr_in*>(&from);
        a.family = kAfInet;
        a.port = s->sin_port;
        a.address = s->sin_addr.s_addr;
    }
    return a;
}

bool isIpv6Socket(int fd) {
    int domain = 0;
    socklen_t length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_INET6;
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

int netAddressTextSize() { return kAddressTextSize; }

int netMakeAddress(const char* text, uint16_t port, SocketAddress* out) {
    *out = SocketAddress{};
    out->port = htons(port);
    if (std::strchr(text, ':') == nullptr) {
        out->family = kAfInet;
        out->address = inet_addr(text);
        return out->address != INADDR_NONE;
    }
    // IPv6, with "%interface" or "%index" for a link-local address.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &found) != 0 || found == nullptr) {
        out->family = kAfInet;
        out->address = INADDR_NONE;
        return 0;
    }
    sockaddr_storage s{};
    std::memcpy(&s, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    *out = fromSockaddr(s);
    out->port = htons(port);
    return 1;
}

void netAddressText(const SocketAddress& address, char* out) {
    if (address.family != kAfInet6) {
        in_addr a;
        a.s_addr = address.address;
        inet_ntop(AF_INET, &a, out, kAddressTextSize);
        return;
    }
    in6_addr a;
    std::memcpy(&a, address.address6, 16);
    inet_ntop(AF_INET6, &a, out, kAddressTextSize);
    char name[IF_NAMESIZE];
    if (address.scope != 0) {
        const size_t n = std::strlen(out);
        if (if_indextoname(address.scope, name) != nullptr) {
            snprintf(out + n, size_t(kAddressTextSize) - n, "%%%s", name);
        } else {
            snprintf(out + n, size_t(kAddressTextSize) - n, "%%%u", unsigned(address.scope));
        }
    }
}

uintptr_t netSocket(uint16_t family) {
    const int domain = family == kAfInet6 ? AF_INET6 : AF_INET;
    int fd = socket(domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        fail();
        return 0;
    }
    if (domain == AF_INET6) {
        int only = 0; // both families
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0) {
            fail();
            close(fd);
            return 0;
        }
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
    sockaddr_storage s;
    const socklen_t length = toSockaddr(address, isIpv6Socket(int(socket)), &s);
    if (bind(int(socket), reinterpret_cast<sockaddr*>(&s), length) != 0) {
        fail();
        return 0;
    }
    return 1;
}

void netCloseSocket(uintptr_t socket) { close(int(socket)); }

int netSendTo(uintptr_t socket, const uint8_t* data, int length, const SocketAddress& to) {
    // Asked for each send: one system call, nothing kept on the side.
    sockaddr_storage s;
    const socklen_t toLength = toSockaddr(to, isIpv6Socket(int(socket)), &s);
    ssize_t n = sendto(int(socket), data, size_t(length), 0, reinterpret_cast<sockaddr*>(&s),
                       toLength);
    return n < 0 ? fail() : int(n);
}

namespace {
// A datagram longer than the buffer is a failed read, and lost, as with WinSock.
int receive(int fd, uint8_t* buffer, int length, sockaddr_storage* from) {
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
    sockaddr_storage s{};
    int n = receive(int(socket), buffer, length, &s);
    if (n >= 0) *from = fromSockaddr(s);
    return n;
}

int netLastError() { return lastError; }
