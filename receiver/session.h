// One accepted connection served until it ends.
#ifndef RECEIVER_SESSION_H
#define RECEIVER_SESSION_H

#include "commlib/nevtar.h"
#include "context.h"

// Serves one accepted connection until it ends. 1 when the session ran,
// 0 when the buffer file cannot be opened (nothing is read then). Does not
// close the connection.
int RcvConSession(ReceiverContext* context, NevtarSocket connection);

#endif
