// The connection loop: one connection at a time until the stop event is reset.
#include "counting.h"
#include "lifecycle.h"
#include "log.h"
#include "platform/kernel_objects.h"
#include "session.h"

namespace {

constexpr int32_t PELMOR_ACCEPT_WAIT = 20;

} // namespace

int PelmorWork(ReceiverContext* context) {
    // A reset between this test and the set below is undone by the set.
    while (!PelmorStopAsked()) {
        SetEvent(PelmorStopEvent);
        PelmorKeepStopRequest();

        NevtarSocket connection = 0;
        char peerAddress[16] = ""; // shown by the counters while the session runs
        int32_t result =
            CSocketServerOpen(context->listenSocket, &connection, peerAddress, PELMOR_ACCEPT_WAIT);
        if (result != 0) {
            if (PelmorLibraryFailurePending()) {
                PelmorLog("PelmorWork()", PELMOR_LOG_FAILURE, result, 0, "",
                          "Fehler: CSocketServerOpen! ErrCode: %ld", static_cast<long>(result));
                return 0;
            }
            continue; // nothing pending: no connection came, look at the stop event again
        }
        PelmorCountConnection(peerAddress);
        if (RcvConSession(context, connection) == 0) {
            PelmorCountSessionEnd(PELMOR_END_FAILURE); // the buffer file was not opened
            PelmorLog("PelmorWork()", PELMOR_LOG_FAILURE, 0, 0, "",
                      "Fehler: Funktion RcvConSession()!");
        }
        result = CSocketClose(connection);
        if (result != 0) {
            PelmorLog("PelmorWork()", PELMOR_LOG_FAILURE, result, 0, "",
                      "Fehler: CSocketClose! ErrorCode: %ld", static_cast<long>(result));
        }
    }
    return 1;
}
