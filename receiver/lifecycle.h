// The receiver's life from start-up to shutdown, and the state its entry,
// start-up, loop, shutdown and console control handler share.
#ifndef RECEIVER_LIFECYCLE_H
#define RECEIVER_LIFECYCLE_H

#include <atomic>
#include <cstdint>

#include "context.h"
#include "platform/win32_base.h"

// Each 1 for success, 0 for failure.
int PelmorInit(const char* commandLine, ReceiverContext* context);
int PelmorWork(ReceiverContext* context);
int PelmorExit(ReceiverContext* context);

// "StopPelmorEvent", signalled while the receiver may run. Atomic because the
// control handler reads it while the receiver may be setting or closing it.
extern std::atomic<HANDLE> PelmorStopEvent;
// "StartPelmorEvent", set once start-up is complete.
extern HANDLE PelmorStartEvent;

// Asked to stop (Ctrl-C, SIGINT, SIGHUP, SIGTERM, the console closed,
// shutdown): resets the stop event, as a controlling process does, and
// remembers the request.
BOOL WINAPI PelmorCtrlHandler(DWORD controlType);

// Resets the stop event again when a stop was asked for, so that a request
// that came before the event existed, or just before the loop set it, is
// not lost.
void PelmorKeepStopRequest(void);

// Whether the stop event exists and is reset: the receiver is asked to stop.
// An event that can no longer be waited on (its object destroyed under it)
// asks nothing, and a request through the control handler still stops.
// The session in progress looks before each read: once asked, it ends within
// a short grace, so a client that keeps streaming cannot hold a stop up.
bool PelmorStopAsked(void);

#endif
