// zavik check: Binding requests to a few STUN servers from the link's UDP
// port, retransmitted as RFC 5389 says (RTO 500 ms, doubling) but bounded to
// 4 s in all; the answers classified (net/stun.h) and turned into advice.
#include "ui/cli/check.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/stun.h"

// Public STUN servers run by two operators that publish them for anyone's use
// and have kept them up for years: Cloudflare's anycast service and two of
// Google's (the ones WebRTC programs ask). Three addresses, so a router's
// mapping can be compared across destinations even when one does not answer.
const char* const kDefaultStunServers[] = {
    "stun.cloudflare.com:3478",
    "stun.l.google.com:19302",
    "stun1.l.google.com:19302",
};
const int kDefaultStunServerCount = int(sizeof kDefaultStunServers / sizeof *kDefaultStunServers);

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kFirstRtoMs = 500;  // RFC 5389's initial retransmission time-out
constexpr int kGiveUpMs = 4000;   // RFC 5389 would wait 39.5 s; a person waits less
constexpr int kMaxServers = 16;

struct Server {
    std::string name; // as given
    StunProbe probe;
    uint8_t id[kStunIdSize];
    int sends;
    long nextSendMs;
    bool done; // answered, refused or malformed: not asked again
};

long nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void say(const char* text) { std::fputs(text, stdout); }

std::string text(const StunEndpoint& e, bool withPort = true) {
    char out[64];
    formatStunEndpoint(e, withPort, out, sizeof out);
    return out;
}

StunEndpoint endpointOf(const sockaddr_in& s) {
    StunEndpoint e{};
    e.family = 4;
    e.port = ntohs(s.sin_port);
    std::memcpy(e.address, &s.sin_addr, 4);
    return e;
}

// "HOST", "HOST:PORT", "[IPV6]:PORT" or a bare IPv6 literal.
bool splitHostPort(const std::string& entry, std::string* host, std::string* port) {
    *port = std::to_string(kStunDefaultPort);
    if (!entry.empty() && entry[0] == '[') {
        const size_t close = entry.find(']');
        if (close == std::string::npos) return false;
        *host = entry.substr(1, close - 1);
        if (close + 1 < entry.size()) {
            if (entry[close + 1] != ':') return false;
            *port = entry.substr(close + 2);
        }
    } else if (entry.find(':') != entry.rfind(':')) {
        *host = entry; // an IPv6 literal without a port
    } else {
        const size_t colon = entry.find(':');
        *host = entry.substr(0, colon);
        if (colon != std::string::npos) *port = entry.substr(colon + 1);
    }
    return !host->empty() && !port->empty();
}

// The server's IPv4 address: the link's socket is an IPv4 one, and the mapping
// asked about is the IPv4 router's.
bool resolveServer(const std::string& entry, Server* server, std::string* why) {
    std::string host, port;
    if (!splitHostPort(entry, &host, &port)) {
        *why = "not HOST[:PORT]";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (result != 0 || found == nullptr) {
        *why = gai_strerror(result);
        return false;
    }
    server->name = entry;
    server->probe = StunProbe{};
    server->probe.server = endpointOf(*reinterpret_cast<const sockaddr_in*>(found->ai_addr));
    freeaddrinfo(found);
    return true;
}

void newTransaction(Server* s) {
    if (getrandom(s->id, sizeof s->id, 0) != ssize_t(sizeof s->id)) {
        // No random source: time and address still tell transactions apart.
        long t = nowMs();
        std::memcpy(s->id, &t, sizeof t < sizeof s->id ? sizeof t : sizeof s->id);
        std::memcpy(s->id + 8, s->probe.server.address, 4);
    }
    s->sends = 0;
    s->nextSendMs = 0;
    s->done = false;
}

// This machine's own addresses; the first global IPv6 one into global6.
std::vector<StunEndpoint> ownAddresses(StunEndpoint* global6) {
    std::vector<StunEndpoint> own;
    *global6 = StunEndpoint{};
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return own;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) continue;
        StunEndpoint e{};
        if (a->ifa_addr->sa_family == AF_INET) {
            e.family = 4;
            std::memcpy(e.address, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            e.family = 6;
            std::memcpy(e.address, &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, 16);
            // Global unicast (2000::/3): the addresses the internet reaches.
            if ((e.address[0] & 0xE0) == 0x20 && global6->family == 0) *global6 = e;
        } else {
            continue;
        }
        own.push_back(e);
    }
    freeifaddrs(list);
    return own;
}

// Asks every server until each has answered or the time is up.
void ask(int fd, std::vector<Server>& servers) {
    const long start = nowMs();
    for (;;) {
        const long now = nowMs() - start;
        if (now >= kGiveUpMs) return;
        bool pending = false;
        long wake = kGiveUpMs;
        for (Server& s : servers) {
            if (s.done) continue;
            pending = true;
            if (now >= s.nextSendMs && s.sends < 4) {
                uint8_t request[kStunHeaderSize];
                stunBindingRequest(s.id, request);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(s.probe.server.port);
                std::memcpy(&to.sin_addr, s.probe.server.address, 4);
                sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                s.nextSendMs = now + (long(kFirstRtoMs) << s.sends); // 0, 500, 1500, 3500
                ++s.sends;
            }
            if (s.sends < 4 && s.nextSendMs < wake) wake = s.nextSendMs;
        }
        if (!pending) return;

        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(wake - now > 0 ? wake - now : 0));
        if (ready <= 0) continue;
        uint8_t buffer[576];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 || n > ssize_t(sizeof buffer) || fromLength != sizeof from) continue;
        const StunEndpoint sender = endpointOf(from);
        for (size_t i = 0; i < servers.size(); ++i) {
            Server& s = servers[i];
            if (s.done || !sameStunEndpoint(s.probe.server, sender)) continue;
            const StunAnswer a = stunParseAnswer(buffer, int(n), s.id);
            if (a.outcome == StunIgnored) continue;
            s.done = true;
            if (a.outcome == StunMapped && a.mapped.family == 4) {
                s.probe.answered = true;
                s.probe.mapped = a.mapped;
            } else if (a.outcome == StunRefused) {
                std::printf("  %s refused the request (error %d)\n", s.name.c_str(), a.errorCode);
            } else {
                std::printf("  %s sent an answer that does not parse\n", s.name.c_str());
            }
            // A server with a second address (RFC 5780) is a second destination
            // of its own, when no other one was given.
            if (a.outcome == StunMapped && a.other.family == 4 && servers.size() == 1 &&
                !sameStunAddress(a.other, s.probe.server)) {
                Server other{};
                other.name = "the other address of " + s.name;
                other.probe.server = a.other;
                newTransaction(&other);
                other.nextSendMs = nowMs() - start;
                servers.push_back(other);
            }
            break;
        }
    }
}

void advise(NatKind kind, const std::vector<Server>& servers, uint16_t localPort) {
    const StunProbe* first = nullptr;
    for (const Server& s : servers) {
        if (s.probe.answered && first == nullptr) first = &s.probe;
    }
    const std::string mapped = first != nullptr ? text(first->mapped) : "";
    const std::string publicHost = first != nullptr ? text(first->mapped, false) : "";
    const std::string port = std::to_string(localPort);
    switch (kind) {
    case NatNone:
        std::printf("Result: no NAT. %s is this machine's own address.\n", publicHost.c_str());
        std::printf("What will work: give your friend %s. Press Listen (a firewall on this "
                    "machine must let UDP %s in), or both press Connect, each to the other's "
                    "address.\n",
                    mapped.c_str(), port.c_str());
        break;
    case NatKeepsPort:
        std::printf("Result: a NAT that keeps one mapping for every destination, and the port: "
                    "this side is %s to everyone.\n",
                    mapped.c_str());
        std::printf("What will work: give your friend %s and both press Connect, each to the "
                    "other's address. Or forward UDP %s on the router to this machine and press "
                    "Listen.\n",
                    mapped.c_str(), port.c_str());
        break;
    case NatKeepsMapping:
        std::printf("Result: a NAT that keeps one mapping for every destination, on another "
                    "port: this side is %s to everyone.\n",
                    mapped.c_str());
        std::printf("What will work: give your friend %s and both press Connect soon after this "
                    "check (once the mapping lapses the router may choose another port). If that "
                    "does not connect, forward UDP %s on the router to this machine and press "
                    "Listen.\n",
                    mapped.c_str(), port.c_str());
        break;
    case NatPerDestination: {
        std::string seen;
        for (const Server& s : servers) {
            if (s.probe.answered) seen += (seen.empty() ? "" : ", ") + text(s.probe.mapped);
        }
        std::printf("Result: a NAT that gives each destination its own mapping (%s): both "
                    "pressing Connect will not work from here.\n",
                    seen.c_str());
        std::printf("What will work: forward UDP %s on the router to this machine and press "
                    "Listen (give your friend %s:%s); or Connect to a friend who can Listen or "
                    "has no NAT; or use IPv6; or a VPN between the two PCs.\n",
                    port.c_str(), publicHost.c_str(), port.c_str());
        break;
    }
    case NatUnknown:
        std::printf("Result: this side is %s, but only one server answered, so whether the "
                    "router keeps one mapping for every destination is not known.\n",
                    mapped.c_str());
        std::printf("What will work: ask again with a second server (--stun). Forwarding UDP %s "
                    "on the router to this machine and pressing Listen works either way.\n",
                    port.c_str());
        break;
    case NatBlocked:
        std::printf("Result: no STUN server answered within %d s: UDP to the internet seems "
                    "blocked here.\n",
                    kGiveUpMs / 1000);
        say("What will work: nothing over UDP from this network as it is. Try another network, "
            "or a VPN that carries the link over a port this network allows.\n");
        break;
    }
}

} // namespace

int runCheck(const std::string& portText, const std::vector<std::string>& given) {
    char* end = nullptr;
    const long port = std::strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || port < 1 || port > 49999) {
        std::fprintf(stderr, "zavik: Valid socket port required\n");
        return kExitUsage;
    }

    std::vector<Server> servers;
    const bool defaults = given.empty();
    std::vector<std::string> names = given;
    if (defaults) names.assign(kDefaultStunServers, kDefaultStunServers + kDefaultStunServerCount);
    if (names.size() > size_t(kMaxServers)) {
        std::fprintf(stderr, "zavik: at most %d --stun servers\n", kMaxServers);
        return kExitUsage;
    }
    for (const std::string& name : names) {
        Server s{};
        std::string why;
        if (!resolveServer(name, &s, &why)) {
            std::fprintf(stderr, "zavik: cannot resolve STUN server %s: %s\n", name.c_str(),
                         why.c_str());
            if (!defaults) return kExitUsage;
            continue;
        }
        newTransaction(&s);
        servers.push_back(s);
    }
    if (servers.empty()) {
        std::fprintf(stderr, "zavik: no STUN server could be resolved (is DNS working?)\n");
        return kExitFailed;
    }

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(uint16_t(port));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        std::fprintf(stderr, "zavik: cannot use UDP port %ld: %s%s\n", port, std::strerror(error),
                     error == EADDRINUSE ? " (is zavik running? check before starting it)" : "");
        if (fd >= 0) close(fd);
        return kExitFailed;
    }

    std::printf("Asking %zu STUN server%s from UDP port %ld ...\n", servers.size(),
                servers.size() == 1 ? "" : "s", port);
    std::fflush(stdout);
    ask(fd, servers);
    close(fd);

    for (const Server& s : servers) {
        // The address asked, and the name it was given by when that says more.
        const std::string where = text(s.probe.server);
        const bool plain = s.name == where || s.name + ":" + std::to_string(kStunDefaultPort) == where;
        const std::string name = plain ? where : where + " (" + s.name + ")";
        if (s.probe.answered) {
            std::printf("  %s sees this side as %s\n", name.c_str(), text(s.probe.mapped).c_str());
        } else {
            std::printf("  %s: no answer\n", name.c_str());
        }
    }

    StunEndpoint global6{};
    const std::vector<StunEndpoint> own = ownAddresses(&global6);
    std::vector<StunProbe> probes;
    for (const Server& s : servers) probes.push_back(s.probe);
    const NatKind kind = classifyNat(probes.data(), int(probes.size()), uint16_t(port), own.data(),
                                     int(own.size()));
    advise(kind, servers, uint16_t(port));

    if (global6.family == 6) {
        global6.port = uint16_t(port);
        std::printf("IPv6: %s. If your friend has IPv6 too, both press Connect, each to the "
                    "other's IPv6 address (yours: %s); no NAT stands in the way.\n",
                    text(global6, false).c_str(), text(global6).c_str());
    } else {
        say("IPv6: none (this machine has no global IPv6 address).\n");
    }
    return kind == NatBlocked ? kExitFailed : 0;
}
