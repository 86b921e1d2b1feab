// Console control handlers on signals: SIGINT is CTRL_C_EVENT, SIGHUP (the
// terminal went away) CTRL_CLOSE_EVENT, SIGTERM CTRL_SHUTDOWN_EVENT.
// Handlers run newest first until one returns TRUE; when none does, the
// signal takes its default action (the process ends), as a console process
// without handlers ends on Windows.
#include "platform/ctrl_handler.h"

#include <cerrno>
#include <csignal>

namespace {

constexpr int CTRL_HANDLER_MAX = 8;

PHANDLER_ROUTINE ctrlHandlers[CTRL_HANDLER_MAX];
volatile std::sig_atomic_t ctrlHandlerCount = 0;
volatile std::sig_atomic_t ctrlIgnoreCtrlC = 0;
int ctrlInstalled = 0;

void CtrlDispatch(int signalNumber) {
    int saved = errno;
    const DWORD type = signalNumber == SIGINT   ? CTRL_C_EVENT
                       : signalNumber == SIGHUP ? CTRL_CLOSE_EVENT
                                                : CTRL_SHUTDOWN_EVENT;
    int taken = type == CTRL_C_EVENT && ctrlIgnoreCtrlC;
    for (int i = ctrlHandlerCount - 1; i >= 0 && !taken; --i) {
        taken = ctrlHandlers[i](type) != FALSE;
    }
    if (!taken) {
        // Delivered again with the default action once this handler returns.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
    }
    errno = saved;
}

// Without SA_RESTART, so a blocking accept or read returns at once.
int CtrlInstall() {
    struct sigaction action {};
    action.sa_handler = CtrlDispatch;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
           sigaction(SIGHUP, &action, nullptr) == 0;
}

// Changes the handler list with the signals held back, so the dispatcher never
// sees it half changed. 1, or 0 when the change cannot be made.
int CtrlChange(PHANDLER_ROUTINE handler, BOOL add) {
    if (handler == nullptr) {
        ctrlIgnoreCtrlC = add ? 1 : 0;
        return 1;
    }
    if (add) {
        if (ctrlHandlerCount == CTRL_HANDLER_MAX) {
            return 0;
        }
        ctrlHandlers[ctrlHandlerCount] = handler;
        ctrlHandlerCount = ctrlHandlerCount + 1;
        return 1;
    }
    for (int i = ctrlHandlerCount - 1; i >= 0; --i) {
        if (ctrlHandlers[i] == handler) {
            for (int j = i; j + 1 < ctrlHandlerCount; ++j) {
                ctrlHandlers[j] = ctrlHandlers[j + 1];
            }
            ctrlHandlerCount = ctrlHandlerCount - 1;
            return 1;
        }
    }
    return 0;
}

} // namespace

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (!ctrlInstalled) {
        if (!CtrlInstall()) {
            return FALSE;
        }
        ctrlInstalled = 1;
    }
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    int changed = CtrlChange(handler, add);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return changed ? TRUE : FALSE;
}
