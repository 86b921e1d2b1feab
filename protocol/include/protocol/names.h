// The named objects through which the receiver and the programs that start,
// watch and stop it meet.
#ifndef PROTOCOL_NAMES_H
#define PROTOCOL_NAMES_H

// Held by the running receiver: one copy at a time.
constexpr const char* PELMOR_MUTEX_NAME = "PELMOR_MTX";
// Signalled while the receiver may run; reset to stop it.
constexpr const char* PELMOR_STOP_EVENT_NAME = "StopPelmorEvent";
// Set once the receiver is ready.
constexpr const char* PELMOR_START_EVENT_NAME = "StartPelmorEvent";
// Its live counters (protocol/counters.h).
constexpr const char* PELMOR_COUNTERS_NAME = "PelmorCounters";

#endif
