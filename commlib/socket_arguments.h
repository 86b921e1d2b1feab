// The socket operations' entry: the pending failure cleared, the caller's
// out-fields given their "nothing yet" values, the arguments checked. Each
// returns 0 to go on, else NEVTAR_ERR_ARGUMENT with the failure recorded.
#ifndef COMMLIB_SOCKET_ARGUMENTS_H
#define COMMLIB_SOCKET_ARGUMENTS_H

#include "commlib/nevtar.h"

// A port outside 0..65535 is refused, never truncated.
int32_t NevtarEnterServerInit(const NevtarSocket* listenSocket, int32_t port);
// *connection becomes -1 and peerAddress, when given, the empty text.
int32_t NevtarEnterServerOpen(NevtarSocket listenSocket, NevtarSocket* connection,
                              char* peerAddress);
// *count, when given, becomes 0 (also for CSocketWrite).
int32_t NevtarEnterRead(const char* buffer, int32_t capacity, int32_t* count);
int32_t NevtarEnterWrite(const char* buffer, int32_t length, int32_t* count);

#endif
