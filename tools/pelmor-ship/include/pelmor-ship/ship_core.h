// pelmor-ship's core: following the buffer file and its hand-off, the
// window of records in flight and their acknowledgements, the durable
// position. It knows no NATS: it publishes through a ShipPublisher, whose
// one real implementation is ship_nats.cpp. docs/architecture.md tells the
// whole story.
#ifndef TOOLS_PELMOR_SHIP_SHIP_CORE_H
#define TOOLS_PELMOR_SHIP_SHIP_CORE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

#include "pelmor-ship/ship.h"

struct ShipContext;

// The seam before the stream. Outcomes of publications come back through
// ShipCoreOutcome, from any thread.
struct ShipPublisher {
    // Hands one record with its id over: 1, or 0 when it could not.
    int (*publish)(const ShipConfig& config, const char* id, const unsigned char* record);
    // Makes sure the stream exists; its last sequence. 1, or 0 with the reason.
    int (*stream)(const ShipConfig& config, uint64_t* lastSequence, std::string* error);
    // Every id starting with prefix stored after floor up to last, each to
    // found(ship, id). 1, or 0 when the stream could not be read.
    int (*scan)(const ShipConfig& config, uint64_t floor, uint64_t last, const std::string& prefix,
                ShipContext* ship, void (*found)(ShipContext* ship, const char* id));
    bool (*connected)();
    // True when the connection was lost since the last call.
    bool (*takeLost)();
};

// Publications still awaiting their outcome are given this long at a stop.
constexpr int64_t SHIP_ACK_WAIT_MS = 5000;
constexpr int32_t SHIP_READ_BATCH = 64; // records read at once

// A record in flight.
enum ShipSlotStatus { SHIP_SLOT_PENDING, SHIP_SLOT_STORED, SHIP_SLOT_FAILED };
struct ShipSlot {
    int64_t generation;
    int64_t index;
    int status;
    uint64_t sequence;   // the stream's, once stored
    int64_t errorSerial; // the error noted last when it was published; -1 found stored
    char id[SHIP_ID_MAX];
    unsigned char record[SHIP_RECORD];
};

// The file the next record is read from.
struct ShipCursor {
    int64_t generation;
    int64_t index;
    int fd;       // -1 while not open
    bool renamed; // BUFFDATEI.<generation>, else the live file
    ino_t inode;
    dev_t device;
    unsigned char batch[SHIP_READ_BATCH * SHIP_RECORD];
    int32_t batchCount;
    int32_t batchAt;
    int64_t batchIndex; // index of batch[0]
};

// Everything one shipper knows while it runs.
struct ShipContext {
    ShipConfig config{};
    ShipPublisher publisher{};
    std::string statePath;
    std::string livePath;

    ShipState state{}; // as last saved, with the position moved on
    ShipState saved{}; // what the file holds
    bool stateDirtyOnDisk = false;
    bool saveFailing = false; // said once, not at every try
    int64_t lastSaveMs = 0;   // on the steady clock
    int64_t removedBelow = 0; // renamed files before this generation are gone

    std::mutex windowLock; // slots between head and next, shared with the outcomes' thread
    std::vector<ShipSlot> slots;
    int64_t head = 0;        // first record in flight (not yet stored)
    int64_t next = 0;        // next slot to fill
    int64_t pending = 0;     // slots awaiting their outcome
    int64_t hint = 0;        // where the next outcome is looked for first: they come in order
    bool roomWanted = false; // the run found the window full and waits for room
    bool anyFailed = false;
    std::string lastAckError;
    int64_t errorSerial = 0; // errors noted: a record stored after the last makes it past

    std::vector<uint64_t> floorRing; // sequences of the last records passed
    int64_t floorPassed = 0;
    std::set<std::string> present; // ids of ours found in the stream at the start

    ShipCursor read{};
    std::string fileTrouble; // the file problem said last: each is logged once
    int wakeFd = -1;
    int watchFd = -1;
    std::atomic<bool> stopAsked{false};
    // Outcomes the run must see soon (a failure, room in a full window,
    // any while it waits for files), counted by the outcomes' thread.
    std::atomic<int64_t> outcomes{0};
    std::atomic<bool> sleeping{false}; // the run waits or is about to: such an outcome wakes it

    ShipLive live{}; // what pelmorctl metrics shows, and when it was last written
    ShipLive liveWritten{};
    std::time_t liveWrittenAt = 0;

    // The run: an outage is logged once when it begins and once when it ends.
    bool prepared = false;
    bool scanned = false;
    bool trouble = false;
    std::chrono::steady_clock::time_point troubleSince;
    std::chrono::steady_clock::time_point retryAt;
    int64_t retryPause = 0;
};

// One line on standard error, with the local time.
void ShipLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sets the context up for config and publisher; nothing is opened.
void ShipCoreInit(ShipContext* ship, const ShipConfig& config, const ShipPublisher& publisher);
// Loads the state, or makes and saves the first one. False after saying why.
bool ShipCoreLoadState(ShipContext* ship);
// Saves the state; once it is on the disk, renamed files the position has
// left behind are removed. False when it could not be written.
bool ShipCoreSave(ShipContext* ship);
// Once per connection: the stream made sure of, and when the last run may
// have left records in the stream past the position, which those are.
bool ShipCorePrepare(ShipContext* ship, bool* scanned, std::string* error);
// Publishes new records while the window has room.
void ShipCoreFillWindow(ShipContext* ship);
// Moves the position over the records stored without a gap.
void ShipCoreAdvance(ShipContext* ship);
// Publishes again what failed, with the same ids.
void ShipCoreRetryFailed(ShipContext* ship);
// A publication's outcome, from the publisher (any thread).
void ShipCoreOutcome(ShipContext* ship, const char* id, bool stored, uint64_t sequence,
                     const char* error);
// Watches the buffer file's folder and makes the wake-up descriptor.
void ShipCoreWatch(ShipContext* ship);
// Ends the waiting at once: for a signal handler and the outcomes' thread.
void ShipCoreWake(ShipContext* ship);
// Ships until stopAsked, then waits for the records in flight and saves.
void ShipCoreRun(ShipContext* ship);

#endif
