// The window thread's loop on Linux, and the panel effects that belong to it:
// the socket's read notifications, the connect retry and warning timers and the
// port thread's wake-up.
#include "ui/posix/window_loop.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "core/log.h"
#include "core/view.h"
#include "os/system.h"
#include "ui/panel.h"

namespace {

int wakeFd = -1;
int socketFd = -1;
int inputFd = -1;
void (*onInput)() = nullptr;
int signalFd = -1;
void (*onSignal)() = nullptr;
bool timerRunning = false;
uint32_t timerDue = 0;
bool warningTimerRunning = false;
uint32_t warningTimerDue = 0;
uint32_t tickPeriod = 0;
uint32_t tickDue = 0;
void (*onTick)() = nullptr;
bool quitting = false;
int quitCode = 0;

int ensureWakeFd() {
    static std::atomic<int> fd{-1};
    int f = fd.load();
    if (f < 0) {
        int created = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd.compare_exchange_strong(f, created)) f = created;
        else close(created);
    }
    return f;
}

} // namespace

// A level-triggered watch: one panelSocketEvent per wake-up while a
// datagram waits, so every waiting datagram gets one.
int socketNotifyStart(uintptr_t socket) {
    socketFd = int(socket);
    return 1;
}

void socketNotifyStop(uintptr_t socket) {
    if (socketFd == int(socket)) socketFd = -1;
}

void windowLoopWatchInput(int fd, void (*onReadable)()) {
    inputFd = fd;
    onInput = onReadable;
}

void windowLoopWatchSignals(int fd, void (*onSignalled)()) {
    signalFd = fd;
    onSignal = onSignalled;
}

void windowLoopEvery(uint32_t periodMs, void (*onTicked)()) {
    tickPeriod = periodMs;
    tickDue = clockMs() + periodMs;
    onTick = onTicked;
}

void windowLoopWake() {
    uint64_t one = 1;
    ssize_t r = write(ensureWakeFd(), &one, sizeof one);
    (void)r;
}

void wakeWindowThread() { windowLoopWake(); }

void retryTimerStart() {
    timerRunning = true;
    timerDue = clockMs() + kConnectRetryMs;
}

void retryTimerKill() { timerRunning = false; }

void warningTimerStart(uint32_t ms) {
    warningTimerRunning = true;
    warningTimerDue = clockMs() + ms;
}

void windowLoopQuit(int code) {
    quitting = true;
    quitCode = code;
}

int windowLoopRun() {
    wakeFd = ensureWakeFd();
    quitting = false;
    while (!quitting) {
        panelHandOffs();
        int timeout = -1;
        for (auto [running, due] : {std::pair{timerRunning, timerDue},
                                    std::pair{warningTimerRunning, warningTimerDue},
                                    std::pair{onTick != nullptr, tickDue}}) {
            if (!running) continue;
            int32_t left = int32_t(due - clockMs());
            if (left < 0) left = 0;
            if (timeout < 0 || left < timeout) timeout = left;
        }
        pollfd fds[4];
        int n = 0;
        fds[n++] = {wakeFd, POLLIN, 0};
        int socketAt = -1, inputAt = -1, signalAt = -1;
        if (socketFd >= 0) {
            socketAt = n;
            fds[n++] = {socketFd, POLLIN, 0};
        }
        if (inputFd >= 0) {
            inputAt = n;
            fds[n++] = {inputFd, POLLIN, 0};
        }
        if (signalFd >= 0) {
            signalAt = n;
            fds[n++] = {signalFd, POLLIN, 0};
        }
        if (poll(fds, nfds_t(n), timeout) < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            uint64_t value;
            ssize_t r = read(wakeFd, &value, sizeof value);
            (void)r;
            panelHandOffs();
        }
        if (timerRunning && int32_t(clockMs() - timerDue) >= 0) {
            timerDue = clockMs() + kConnectRetryMs;
            panelTimer(kConnectRetryTimer);
        }
        if (warningTimerRunning && int32_t(clockMs() - warningTimerDue) >= 0) {
            warningTimerRunning = false; // it runs once
            panelTimer(kWarningTimer);
        }
        if (onTick != nullptr && int32_t(clockMs() - tickDue) >= 0) {
            tickDue = clockMs() + tickPeriod;
            onTick();
        }
        // One datagram per wake-up; a socket with more waiting stays readable.
        if (socketAt >= 0 && socketFd == fds[socketAt].fd && (fds[socketAt].revents & POLLIN)) {
            panelSocketEvent(0, true);
        }
        if (inputAt >= 0 && inputFd == fds[inputAt].fd &&
            (fds[inputAt].revents & (POLLIN | POLLHUP | POLLERR))) {
            onInput();
        }
        if (signalAt >= 0 && !quitting && (fds[signalAt].revents & POLLIN)) onSignal();
    }
    deliverHandOffs();
    return quitCode;
}
