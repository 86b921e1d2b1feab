// The connection loop: one connection at a time until the stop event is reset.
#include <cstdio>

#include "platform/kernel_objects.h"
#include "lifecycle.h"
#include "receiver/counters.h"
#include "receiver/pelmor.h"

namespace {

constexpr int32_t PELMOR_ACCEPT_WAIT = 20;

} // namespace

int PelmorWork(ReceiverContext* context) {
    // A reset between this test and the set below is undone by the set.
    while (WaitForSingleObject(PelmorStopEvent, 0) != WAIT_TIMEOUT) {
        SetEvent(PelmorStopEvent);
        PelmorKeepStopRequest();

        NevtarSocket connection = 0;
        char peerAddress[16] = "";
        int32_t result =
            CSocketServerOpen(context->listenSocket, &connection, peerAddress, PELMOR_ACCEPT_WAIT);
        if (result != 0) {
            int32_t number = 0;
            if (CGetLastErrorString(&number, PelmorMessageBuffer, PELMOR_LOGTEXT_SIZE) != 0) {
                std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                              "Fehler: CSocketServerOpen! ErrCode: %ld", static_cast<long>(result));
                PelmorLogBuffered("PelmorWork()", 1, result);
                return 0;
            }
            continue; // nothing pending: no connection came, look at the stop event again
        }
        PelmorCountConnection(peerAddress);
        if (RcvConSession(context, connection) == 0) {
            PelmorCountSessionEnd(PELMOR_END_FAILURE); // the buffer file was not opened
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: Funktion RcvConSession()!");
            PelmorLogBuffered("PelmorWork()", 1, 0);
        }
        result = CSocketClose(connection);
        if (result != 0) {
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: CSocketClose! ErrorCode: %ld", static_cast<long>(result));
            PelmorLogBuffered("PelmorWork()", 1, result);
        }
    }
    return 1;
}
