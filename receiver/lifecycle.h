// State the receiver's lifecycle shares between its entry, start-up, loop,
// shutdown and its console control handler.
#ifndef PELMOR_LIFECYCLE_H
#define PELMOR_LIFECYCLE_H

#include <atomic>
#include <cstdint>

#include "platform/win32_base.h"

// "StopPelmorEvent", signalled while the receiver may run. Atomic because the
// control handler reads it while the receiver may be setting or closing it.
extern std::atomic<HANDLE> PelmorStopEvent;
// "StartPelmorEvent", set once start-up is complete.
extern HANDLE PelmorStartEvent;

// Asked to stop (Ctrl-C, SIGINT, SIGTERM, shutdown): resets the stop event,
// as a controlling process does, and remembers the request.
BOOL WINAPI PelmorCtrlHandler(DWORD controlType);

// Resets the stop event again when a stop was asked for, so that a request
// that came before the event existed, or just before the loop set it, is
// not lost.
void PelmorKeepStopRequest(void);

// 1 when the stop event exists and is reset: the receiver is asked to stop.
// A session looks before each read, so a stop also ends a client's stream.
int PelmorStopAsked(void);

// Writes the log entry whose message is in the shared message buffer.
void PelmorLogBuffered(const char* function, int32_t level, int32_t errorCode);

#endif
