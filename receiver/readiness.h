// What the receiver tells the service manager that started it: ready once
// start-up is complete, a line of progress a person reads in its status, and
// that it is stopping. Where no manager listens nothing is sent.
#ifndef RECEIVER_READINESS_H
#define RECEIVER_READINESS_H

#include <cstdint>

#include "context.h"

// Start-up is complete (the start event is set): the manager takes the start
// as successful. A receiver that ends before this is a failed start.
void PelmorTellReady(const ReceiverContext* context);

// The records stored and the last one's time, when they changed; at most
// once per second of now (calendar seconds, -1 when unknown: nothing), so
// calling it for every record costs a comparison.
void PelmorTellProgress(int64_t now);

// Shutdown has begun.
void PelmorTellStopping(void);

#endif
