// The UDP endpoint: starting the socket library, this host's addresses, the
// bound socket and its read notification.
#include "net/endpoint.h"

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/view.h"
#include "os/udp.h"

int startWinsock() {
    logPrintf("Initializing  WinSock...");
    int result = netStartup();
    if (result != 0) {
        logPrintf("WSAStartup() failed (error %i).\r\n", result);
        return 0;
    }
    logPrintf("success\r\n");

    char name[100];
    if (netHostName(name, sizeof name) && name[0] != '\0') {
        uint32_t found[kMaxLocalAddresses];
        int count = netHostAddresses(name, found, kMaxLocalAddresses);
        if (count >= 0) {
            for (int i = 0; i < count && i < kMaxLocalAddresses; ++i) {
                linkState.localAddresses[linkState.localAddressCount++] = found[i];
            }
            return 1;
        }
    }
    logPrintf("failed. Unable to resolve host name.\r\n");
    return 0;
}

int openUdpSocket() {
    // The socket is of the local address's family: an IPv6 one takes both.
    SocketAddress address{};
    netMakeAddress(linkState.localIp, linkState.localPort, &address);
    logPrintf("Opening UDP socket ...");
    uintptr_t s = netSocket(address.family);
    if (s == 0) {
        logPrintf("failed (error #%i).\r\n", netLastError());
        return 0;
    }
    logPrintf("success\r\n");
    logPrintf(address.family == kAfInet6 ? "Binding socket to [%s]:%i ..."
                                         : "Binding socket to %s:%i ...",
              linkState.localIp, int(linkState.localPort));
    if (!netBind(s, address)) {
        int error = netLastError();
        netCloseSocket(s);
        logPrintf("failed (error #%i).\r\n", error);
        return 0;
    }
    logPrintf("success\r\n");
    LinkLock lock; // the port thread sends on this socket
    linkState.udpSocket = s;
    return 1;
}

int armSocketNotification() {
    if (!socketNotifyStart(linkState.udpSocket)) {
        logPrintf("WSAAsyncSelect() failed (error #%i).\r\n", netLastError());
        return 0;
    }
    return 1;
}

void closeUdpSocket() {
    if (linkState.udpSocket == 0) return; // it changes on this thread only
    logPrintf("Closing socket\r\n");    // nothing is logged under the link lock
    LinkLock lock; // no send of the port thread is under way while it closes
    socketNotifyStop(linkState.udpSocket);
    netCloseSocket(linkState.udpSocket);
    linkState.udpSocket = 0;
}
