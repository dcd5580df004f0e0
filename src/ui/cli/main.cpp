// zavik: the program on Linux as a command.
//
//   zavik listen [-4|-6] [--bind ADDR] [--port N] [--once] SERIAL
//   zavik connect HOST[:PORT] [-4|-6] [--bind ADDR] [--port N] SERIAL
//   zavik check [--port N] [--stun HOST[:PORT]]...
//   zavik ports
//
// It does what a person does at the window: Settings... with the address,
// port and serial port given, OK; then Listen, or Connect... with the peer's
// address and port. The dialogs' own rules judge what it is given, and their
// "Error" boxes become errors on standard error. The log goes to standard
// output, on a terminal with a status line below it.
//
// Exit codes: 0 after an orderly end (a signal, the peer's disconnect for
// connect, the end of a session for listen --once); 1 when the link cannot
// start or its serial device is lost; 2 for a usage error.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/counters.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/recovery.h"
#include "core/view.h"
#include "os/udp.h"
#include "ui/cli/check.h"
#include "ui/cli/ports.h"
#include "ui/cli/terminal.h"
#include "ui/panel.h"
#include "ui/posix/front_end.h"
#include "ui/posix/headless.h"
#include "ui/posix/process_ends.h"
#include "ui/posix/window_loop.h"
#include "ui/resource.h"
#include "ui/widgets.h"

#ifndef ZAVIK_VERSION
#define ZAVIK_VERSION "0.1"
#endif

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr uint32_t kRedrawMs = 250; // the status line, at most 4 times a second

const char kUsage[] =
    "Usage: zavik listen [options] SERIAL\n"
    "       zavik connect HOST[:PORT] [options] SERIAL\n"
    "       zavik check [--port N] [--stun HOST[:PORT]]...\n"
    "       zavik ports\n"
    "\n"
    "Joins the game console on SERIAL to a peer's across the network (UDP).\n"
    "listen waits for a peer to connect; connect connects to a listening peer\n"
    "at HOST (a name, an IPv4 address or an IPv6 one: [2001:db8::1]:3975) and\n"
    "PORT (3975); a name with both kinds of address is reached over IPv6 when\n"
    "this machine has IPv6.\n"
    "SERIAL is a device (/dev/ttyUSB0), COM1 to COM4 (/dev/ttyS0 to /dev/ttyS3),\n"
    "or sim[:options], the simulated console. ports lists the serial devices.\n"
    "check asks STUN servers what the router does with the link's UDP port and\n"
    "says which way to link will work from here.\n"
    "\n"
    "Options:\n"
    "  --bind ADDR           local address to bind (:: : all of both families,\n"
    "                        or 0.0.0.0 where the system has no IPv6)\n"
    "  -4, -6                IPv4 only (--bind 0.0.0.0) or IPv6 only for HOST\n"
    "  --port N              local UDP port, 1 to 49999 (3975)\n"
    "  --vsync N             vsync interval adjustment in ms, -2 to 2 (0)\n"
    "  --increase-port-time  the port thread waits 20 ms instead of 1 ms\n"
    "  --high-priority       run at a higher priority\n"
    "  --once                listen: end after one session\n"
    "  --no-recovery         offer no loss recovery: the link speaks only the\n"
    "                        datagrams every peer knows\n"
    "  --stun HOST[:PORT]    check: a STUN server to ask (repeatable; port 3478);\n"
    "                        by default three public ones (docs/internet.md)\n"
    "  --quiet               print errors only\n"
    "  --help                print this and exit\n"
    "  --version             print the version and exit\n"
    "\n"
    "Exit status: 0 after an orderly end, 1 when the link cannot start,\n"
    "2 for a usage error.\n";

enum class Command { Listen, Connect, Ports, Check };

struct Options {
    Command command = Command::Listen;
    std::string bind, port = "3975", vsync = "0"; // bind: empty for the default
    int family = AF_UNSPEC; // -4: AF_INET, -6: AF_INET6
    std::string host, remotePort = "3975", serial;
    bool increasePortTime = false, highPriority = false, once = false, quiet = false;
    bool noRecovery = false;
    std::vector<std::string> stun;
};

Options options;
int exitCode = 0;
bool refused = false; // a dialog refused an entry: its box went to standard error
ConnectionState lastState = Idle;

void error(const char* text) { std::fprintf(stderr, "zavik: %s\n", text); }

int usageError(const std::string& text) {
    error(text.c_str());
    std::fprintf(stderr, "Try 'zavik --help'.\n");
    return kExitUsage;
}

// Reads the command line into options; returns -1 to go on, else the exit code.
int parseArguments(int argc, char** argv) {
    std::string positional[3];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        auto takeValue = [&](std::string* into) {
            if (!hasValue) {
                if (i + 1 >= argc) return false;
                value = argv[++i];
            }
            *into = value;
            return true;
        };
        const bool flag = arg == "--increase-port-time" || arg == "--high-priority" ||
                          arg == "--once" || arg == "--quiet" || arg == "--help" ||
                          arg == "--version" || arg == "--no-recovery";
        if (flag && hasValue) return usageError("option " + arg + " takes no value");
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("zavik " ZAVIK_VERSION "\n");
            return 0;
        } else if (arg == "--bind" || arg == "--port" || arg == "--vsync") {
            std::string* into = arg == "--bind" ? &options.bind
                                : arg == "--port" ? &options.port : &options.vsync;
            if (!takeValue(into)) return usageError("option " + arg + " needs a value");
        } else if (arg == "--stun") {
            std::string server;
            if (!takeValue(&server)) return usageError("option " + arg + " needs a value");
            options.stun.push_back(server);
        } else if (arg == "-4" || arg == "-6") {
            const int family = arg == "-4" ? AF_INET : AF_INET6;
            if (options.family != AF_UNSPEC && options.family != family) {
                return usageError("-4 and -6 exclude each other");
            }
            options.family = family;
        } else if (arg == "--increase-port-time") {
            options.increasePortTime = true;
        } else if (arg == "--high-priority") {
            options.highPriority = true;
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--no-recovery") {
            options.noRecovery = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option " + arg);
        } else if (count == 3) {
            return usageError("too many arguments");
        } else {
            positional[count++] = arg;
        }
    }

    if (count == 0) return usageError("a command is needed: listen, connect or ports");
    const std::string& command = positional[0];
    int wanted = 0;
    if (command == "listen") {
        options.command = Command::Listen;
        wanted = 2;
    } else if (command == "connect") {
        options.command = Command::Connect;
        wanted = 3;
    } else if (command == "ports") {
        options.command = Command::Ports;
        wanted = 1;
    } else if (command == "check") {
        options.command = Command::Check;
        wanted = 1;
    } else {
        return usageError("unknown command " + command);
    }
    if (count < wanted) {
        return usageError(command == "connect" && count <= 2 ? "connect needs HOST[:PORT] and SERIAL"
                                                             : command + " needs SERIAL");
    }
    if (count > wanted) return usageError("too many arguments for " + command);
    if (options.once && options.command != Command::Listen) {
        return usageError("--once goes with listen");
    }
    if (!options.stun.empty() && options.command != Command::Check) {
        return usageError("--stun goes with check");
    }
    static const char* const vsyncEntries[] = {"-2", "-1", "0", "1", "2"};
    bool known = false;
    for (const char* e : vsyncEntries) known = known || options.vsync == e;
    if (!known) return usageError("--vsync takes -2, -1, 0, 1 or 2");

    if (options.command == Command::Connect) {
        // HOST, HOST:PORT, [IPV6]:PORT, [IPV6], or an IPv6 address alone.
        options.host = positional[1];
        if (!options.host.empty() && options.host[0] == '[') {
            const size_t close = options.host.find(']');
            if (close == std::string::npos) return usageError("no ] after [ in " + options.host);
            const std::string rest = options.host.substr(close + 1);
            if (!rest.empty() && rest[0] != ':') return usageError("not [HOST]:PORT: " + options.host);
            if (!rest.empty()) options.remotePort = rest.substr(1);
            options.host = options.host.substr(1, close - 1);
        } else if (options.host.find(':') == options.host.rfind(':')) {
            const size_t colon = options.host.find(':');
            if (colon != std::string::npos) {
                options.remotePort = options.host.substr(colon + 1);
                options.host.erase(colon);
            }
        }
        if (options.host.empty()) return usageError("connect needs a HOST");
    }
    if (options.command != Command::Check) options.serial = positional[wanted - 1];
    return -1;
}

// Whether this system makes IPv6 sockets at all.
bool systemHasIpv6() {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// The local address bound when none is given: both families where the system
// has IPv6, else IPv4; -4 and -6 keep to theirs.
std::string defaultBind() {
    if (options.family == AF_INET) return "0.0.0.0";
    if (options.family == AF_INET6 || systemHasIpv6()) return "::";
    return "0.0.0.0";
}

// A host name resolved once to one address; an address stays itself. Of a
// name's addresses the resolver's first is taken (it sorts IPv6 first where
// this machine can reach IPv6: RFC 6724), of the family the socket can use.
bool resolveHost(const std::string& host, std::string* address) {
    addrinfo hints{};
    SocketAddress bound{};
    netMakeAddress(options.bind.c_str(), 0, &bound);
    hints.ai_family = options.family != AF_UNSPEC   ? options.family
                      : bound.family == kAfInet      ? AF_INET
                                                     : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result == EAI_NONAME || result == EAI_ADDRFAMILY) {
        hints.ai_flags = 0; // a literal of a family that has no route here yet
        result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    }
    if (result != 0 || found == nullptr) {
        error(("cannot resolve " + host + ": " + gai_strerror(result)).c_str());
        return false;
    }
    char text[kAddressTextSize]; // with "%interface" for a link-local address
    const int shown = getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr,
                                  0, NI_NUMERICHOST);
    freeaddrinfo(found);
    if (shown != 0) {
        error(("cannot resolve " + host + ": " + gai_strerror(shown)).c_str());
        return false;
    }
    *address = text;
    return true;
}

// An "Error" box of a dialog: the entry it refused, as a usage error.
void onMessageBox(const char* caption, const char* text) {
    if (std::strcmp(caption, "Error") != 0) return; // the transfer warning: answered yes
    refused = true;
    char line[1100];
    std::snprintf(line, sizeof line, "zavik: %s", text);
    frontEndEvent(line);
}

// The status line, in a buffer of its own: it is drawn while packets flow.
const char* statusLine() {
    static char line[256];
    uint32_t v[10];
    statisticsValues(v);
    std::snprintf(line, sizeof line,
                  "%s  local %u/%u/%u  remote %u/%u/%u  ping %u ms  size %u  tfr %u  errors %u"
                  "  recovered %u",
                  connectionStateName(linkState.connectionState.load()), v[0], v[1], v[2], v[3],
                  v[4], v[5], v[6], v[7], v[8], v[9], recoveredPackets());
    return line;
}

// Ends the program as the window's close box does; the transfer warning is
// answered yes, and a Connected peer is told.
void finish(int code) {
    exitCode = code;
    if (mainWindowDestroyed()) return;
    onMainWindowClose();
    destroyMainWindow();
}

// The log's last line on standard error: why the link did not start or stopped.
void failed() {
    char line[1200];
    std::snprintf(line, sizeof line, "zavik: %s", terminalLastLine());
    frontEndEvent(line);
    finish(kExitFailed);
}

bool linkStarted() { return buttonView(ListenButton).enabled || linkState.connectionState != Idle; }

void onCloseSignal() {
    if (takeCloseSignal() != 0) finish(0);
}

// What follows the end of a session: connect ends, listen listens again.
void onTick() {
    const ConnectionState state = linkState.connectionState.load();
    if (state == Idle && lastState != Idle) {
        if (!linkStarted()) {
            frontEndEvent("zavik: Serial device lost, link stopped");
            finish(kExitFailed);
        } else if (options.command == Command::Connect || options.once) {
            finish(0);
        } else {
            panelCommand(IDC_LISTEN);
        }
    }
    lastState = linkState.connectionState.load();
    if (!mainWindowDestroyed()) terminalRedraw(statusLine());
}

// Presses a button whose dialog is then filled with p and accepted.
void pressWith(int button, const Pending& p) {
    pending = p;
    panelCommand(button);
    pending = Pending{};
}

// Settings..., then Listen or Connect...; returns -1 once the link runs,
// else the exit code.
int startLink() {
    Pending p;
    p.script = Script::Settings;
    p.address = options.bind;
    p.port = options.port;
    p.serial = options.serial;
    p.vsync = options.vsync;
    p.increasePortTime = options.increasePortTime;
    p.highPriority = options.highPriority;
    pressWith(IDC_SETTINGS, p);
    if (refused) return kExitUsage;
    if (!linkStarted()) return kExitFailed;

    if (options.command == Command::Listen) {
        panelCommand(IDC_LISTEN);
    } else {
        p = Pending{};
        p.script = Script::Connect;
        p.address = options.host;
        p.port = options.remotePort;
        pressWith(IDC_CONNECT, p);
        if (refused) return kExitUsage;
    }
    lastState = linkState.connectionState.load();
    return lastState == Idle ? kExitFailed : -1;
}

} // namespace

int main(int argc, char** argv) {
    ensureStandardStreams(); // before anything opens a file
    const int parsed = parseArguments(argc, argv);
    if (parsed >= 0) return parsed;
    if (options.command == Command::Ports) {
        printSerialPorts(describeSerialPorts());
        return 0;
    }
    if (options.command == Command::Check) return runCheck(options.port, options.stun);
    if (options.bind.empty()) options.bind = defaultBind();
    if (options.command == Command::Connect && !resolveHost(options.host, &options.host)) {
        return kExitUsage;
    }

    const int signals = watchCloseSignals();
    setWindowThread();
    initLinkState();
    linkState.recovery.enabled = !options.noRecovery;
    frontEndEcho(true);
    frontEndMessageBoxSink(onMessageBox);
    terminalStart(options.quiet                ? LogView::Quiet
                  : isatty(STDOUT_FILENO) != 0 ? LogView::Terminal
                                               : LogView::Lines);
    if (!initPanel()) {
        failed();
    } else {
        const int started = startLink();
        if (started == kExitFailed) failed();
        else if (started >= 0) finish(started);
    }
    if (!mainWindowDestroyed()) {
        windowLoopWatchSignals(signals, onCloseSignal);
        windowLoopEvery(kRedrawMs, onTick);
        terminalRedraw(statusLine());
        windowLoopRun();
    }
    deliverHandOffs();
    terminalEnd(statusLine());
    frontEndFinish();
    return exitCode;
}
