#include "lifecycle.h"

#include <csignal>

#include "platform/kernel_objects.h"

static_assert(std::atomic<HANDLE>::is_always_lock_free, "read from a signal handler");

std::atomic<HANDLE> PelmorStopEvent{nullptr};
HANDLE PelmorStartEvent = nullptr;

namespace {
volatile std::sig_atomic_t pelmorStopRequested = 0;
} // namespace

BOOL WINAPI PelmorCtrlHandler(DWORD) {
    pelmorStopRequested = 1;
    HANDLE stop = PelmorStopEvent;
    if (stop != nullptr) {
        ResetEvent(stop);
    }
    return TRUE;
}

void PelmorKeepStopRequest(void) {
    if (pelmorStopRequested) {
        ResetEvent(PelmorStopEvent);
    }
}

bool PelmorStopAsked(void) {
    HANDLE stop = PelmorStopEvent;
    if (stop == nullptr) {
        return 0;
    }
    // An event destroyed under the receiver cannot be reset any more: the
    // request it could not carry is remembered here.
    const DWORD state = WaitForSingleObject(stop, 0);
    return state == WAIT_TIMEOUT || (state == WAIT_FAILED && pelmorStopRequested);
}
