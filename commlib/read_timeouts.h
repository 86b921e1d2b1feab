// The receive time-out each socket carries, remembered so that CSocketRead
// sets it only when a read asks for another one: a read is then one system
// call. Bounded: a small table of slots, each naming one socket; sockets
// that meet in a slot take turns and just pay the set again.
//
// A slot claims "this socket has this time-out set". The claim is dropped
// when the library hands a socket out (the number may be one that was closed
// behind the library's back) and when it closes one, so a socket number
// used again never inherits an old claim through the library's own calls.
#ifndef COMMLIB_READ_TIMEOUTS_H
#define COMMLIB_READ_TIMEOUTS_H

#include "commlib/nevtar.h"

// Seconds as the socket should carry them: 0 for no limit (0 or less asked).
int32_t NevtarReadSeconds(int32_t timeout);

// 1 when seconds (from NevtarReadSeconds) is known to be set on socket.
int NevtarReadTimeoutIsSet(NevtarSocket socket, int32_t seconds);
void NevtarReadTimeoutRemember(NevtarSocket socket, int32_t seconds);
void NevtarReadTimeoutForget(NevtarSocket socket);

#endif
