// Shutdown: the listening socket, the library, the two events.
#include <cstdio>

#include "platform/kernel_objects.h"
#include "lifecycle.h"
#include "receiver/counters.h"
#include "receiver/pelmor.h"

int PelmorExit(ReceiverContext* context) {
    int32_t result = CSocketClose(context->listenSocket);
    if (result != 0) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: CSocketClose! ErrorCode: %ld", static_cast<long>(result));
        PelmorLogBuffered("PelmorExit()", 1, result);
    }
    result = CSocketCleanup();
    if (result != 0) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: CSocketCleanup! ErrorCode: %d", static_cast<int>(result));
        PelmorLogBuffered("PelmorExit()", 100, 0);
    }
    // Signalled again for the next start. The control handler no longer sees
    // the handle once it is taken out here.
    HANDLE stop = PelmorStopEvent.exchange(nullptr);
    SetEvent(stop);
    CloseHandle(stop);
    CloseHandle(PelmorStartEvent);
    PelmorStartEvent = nullptr;
    PelmorCountersClose();
    return 1;
}
