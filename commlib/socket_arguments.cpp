// Argument checks shared by the platforms' socket operations.
#include "socket_arguments.h"

#include <cerrno>

#include "last_error.h"

int32_t NevtarEnterServerInit(const NevtarSocket* listenSocket, int32_t port) {
    NevtarClearError();
    if (listenSocket == nullptr) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CSocketServerInit: kein Socketfeld");
    }
    if (port < 0 || port > 65535) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL,
                          "CSocketServerInit: Port %ld ausserhalb 0..65535",
                          static_cast<long>(port));
    }
    return 0;
}

int32_t NevtarEnterServerOpen(NevtarSocket listenSocket, NevtarSocket* connection,
                              char* peerAddress) {
    NevtarClearError();
    if (connection == nullptr || listenSocket < 0) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CSocketServerOpen: ungueltiger Socket");
    }
    *connection = -1;
    if (peerAddress != nullptr) {
        peerAddress[0] = '\0';
    }
    return 0;
}

int32_t NevtarEnterRead(const char* buffer, int32_t capacity, int32_t* count) {
    NevtarClearError();
    if (count != nullptr) {
        *count = 0;
    }
    if (buffer == nullptr || count == nullptr || capacity <= 0) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CSocketRead: ungueltiger Puffer");
    }
    return 0;
}

int32_t NevtarEnterWrite(const char* buffer, int32_t length, int32_t* count) {
    NevtarClearError();
    if (count != nullptr) {
        *count = 0;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        return NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CSocketWrite: ungueltiger Puffer");
    }
    return 0;
}
