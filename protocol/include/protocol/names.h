// The named objects through which the receiver and the programs that start,
// watch and stop it meet.
#ifndef PROTOCOL_NAMES_H
#define PROTOCOL_NAMES_H

#include <cstdint>

// Held by the running receiver: one copy at a time.
constexpr const char* PELMOR_MUTEX_NAME = "PELMOR_MTX";
// Signalled while the receiver may run; reset to stop it.
constexpr const char* PELMOR_STOP_EVENT_NAME = "StopPelmorEvent";
// Set once the receiver is ready.
constexpr const char* PELMOR_START_EVENT_NAME = "StartPelmorEvent";
// Its live counters (protocol/counters.h).
constexpr const char* PELMOR_COUNTERS_NAME = "PelmorCounters";

// The shipper's files beside the buffer file BUFFDATEI: its state, the
// state's lock, its live figures (written to the temporary name, then
// renamed), and BUFFDATEI.<generation> (this many digits) for every file
// it took over.
constexpr char PELMOR_SHIP_STATE_SUFFIX[] = ".versand";
constexpr char PELMOR_SHIP_LOCK_SUFFIX[] = ".versand.lock";
constexpr char PELMOR_SHIP_LIVE_SUFFIX[] = ".versand.live";
constexpr char PELMOR_SHIP_LIVE_TEMP_SUFFIX[] = ".versand.live.tmp";
constexpr int32_t PELMOR_SHIP_GENERATION_DIGITS = 10;

#endif
