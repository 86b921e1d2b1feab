// Shutdown: the listening socket, the library, the two events.
#include "counting.h"
#include "lifecycle.h"
#include "log.h"
#include "platform/kernel_objects.h"

int PelmorExit(ReceiverContext* context) {
    int32_t result = CSocketClose(context->listenSocket);
    if (result != 0) {
        PelmorLog("PelmorExit()", PELMOR_LOG_FAILURE, result, 0, "",
                  "Fehler: CSocketClose! ErrorCode: %ld", static_cast<long>(result));
    }
    result = CSocketCleanup();
    if (result != 0) {
        PelmorLog("PelmorExit()", PELMOR_LOG_DETAIL, 0, 0, "",
                  "Fehler: CSocketCleanup! ErrorCode: %d", static_cast<int>(result));
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
