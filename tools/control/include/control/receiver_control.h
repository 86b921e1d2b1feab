// How a tool sees and stops a running receiver through its named objects;
// pelmorctl and the Windows service host both go this way, so a service
// stop is the same request as "pelmorctl stop".
#ifndef TOOLS_CONTROL_RECEIVER_CONTROL_H
#define TOOLS_CONTROL_RECEIVER_CONTROL_H

#include "platform/kernel_objects.h"

// 1 when some process holds the receiver's mutex, 0 when none does, -1 when
// that cannot be told (say, a namespace directory of another user); the
// error is then in *error.
int ReceiverRunning(DWORD* error);

// One of the receiver's events: 1 signalled, 0 reset, -1 it does not exist.
int ReceiverEventState(const char* name);

// The stop event, created reset when missing: a receiver still starting
// then finds it reset and stops. nullptr on failure (GetLastError).
HANDLE ReceiverStopEventOpen(void);

// Asks the receiver to stop: resets the stop event whenever the receiver has
// set it since, so a reset that fell between its test and its set is undone.
// Called again on every poll while waiting for the end.
void ReceiverStopAsk(HANDLE stop);

#endif
