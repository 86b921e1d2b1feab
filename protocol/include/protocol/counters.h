// The receiver's live counters: the layout of the named shared memory in which
// it keeps them (named PELMOR_COUNTERS_NAME), read by pelmorctl.
//
// One receiver writes, others only read, and the writer makes plain stores:
// no lock and no system call per message. A reader copies the whole record
// until two copies agree, so a 64-bit figure is never seen half-written on a
// 32-bit system. The object goes with its last handle, so a killed receiver
// leaves nothing behind, and every receiver starts from 0.
#ifndef PROTOCOL_COUNTERS_H
#define PROTOCOL_COUNTERS_H

#include <cstdint>

constexpr uint32_t PELMOR_COUNTERS_MAGIC = 0x504C4D43; // "PLMC"
constexpr uint32_t PELMOR_COUNTERS_VERSION = 1;

// Why a session ended; every accepted connection ends in exactly one way.
constexpr int32_t PELMOR_END_X = 0;       // the client sent "X"
constexpr int32_t PELMOR_END_PEER = 1;    // the client closed the connection
constexpr int32_t PELMOR_END_TIMEOUT = 2; // no message within TIMEOUT
constexpr int32_t PELMOR_END_FAILURE = 3; // read or write failed, a record was refused, or
                                          // the buffer file could not be opened
constexpr int32_t PELMOR_END_STOP = 4;    // the receiver was asked to stop
constexpr int32_t PELMOR_END_KINDS = 5;

// Times are calendar seconds (time_t), 0 for none.
struct PelmorCounters {
    uint32_t magic;   // PELMOR_COUNTERS_MAGIC once the record is filled in
    uint32_t version; // PELMOR_COUNTERS_VERSION
    uint32_t processId;
    uint32_t reserved; // 0; the 64-bit fields fall on 8-byte offsets on every platform
    int64_t started;
    uint64_t connections;                     // accepted
    uint64_t sessionsEnded[PELMOR_END_KINDS]; // by PELMOR_END_*
    uint64_t recordsStored;                   // answered "1"
    uint64_t recordsFailed;                   // answered "2"
    uint64_t bytesReceived;                   // by every read, "X" messages included
    int64_t lastRecord;                       // the stamp time of the last record stored
    uint64_t reopenings;                      // of the buffer file inside a session
    char peer[16];                            // dotted address of the session in progress, or ""
};

static_assert(sizeof(PelmorCounters) == 128, "one layout on 32 and 64 bits, without padding");

#endif
