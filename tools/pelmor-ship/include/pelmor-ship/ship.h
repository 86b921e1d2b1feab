// pelmor-ship: the buffer file's records carried into a NATS JetStream
// stream, each exactly once. The modules share these plain records.
//
// Files. The receiver appends to the live file (BUFFDATEI). The shipper
// follows it, and once it has carried UEBERGABE kilobytes of it, takes it
// over by renaming it to BUFFDATEI.<generation>; the receiver goes on in a
// new live file. Every file has a generation number (the live file the one
// after the last renamed), every record an index in its file: (generation,
// index) names a record for good, and gives its message id.
#ifndef TOOLS_PELMOR_SHIP_SHIP_H
#define TOOLS_PELMOR_SHIP_SHIP_H

#include <cstdint>
#include <ctime>
#include <string>

#include "protocol/record.h"

constexpr int32_t SHIP_RECORD = PELMOR_DISK_RECORD_LENGTH;
constexpr int32_t SHIP_ID_MAX = 160; // a message id with its terminator

// The settings as the shipper uses them.
struct ShipConfig {
    std::string bufferFile;
    std::string natsUrl;
    std::string stream;
    std::string subject;
    std::string source;
    int32_t replicas;
    int32_t duplicateWindow; // seconds
    int32_t window;          // publications without acknowledgement at most
    int64_t handoffBytes;
    std::string credentials;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

// What survives the shipper, in BUFFDATEI.versand: where the stream stands.
struct ShipState {
    char instance[17];            // 16 hex digits drawn when the state is made: ids stay unique
                                  // even when two sources share a name
    char source[65];              // QUELLE as the ids carry it, fixed with the instance
    int64_t generation;           // the file of the first record not yet acknowledged
    int64_t position;             // its index: everything before is in the stream
    uint64_t floor;               // a stream sequence before every record of ours from position on
    int32_t dirty;                // records after position may be in the stream already
    int64_t previousGeneration;   // the last record of the file before generation, kept
    char previousId[SHIP_ID_MAX]; // after that file is removed, for the hand-off copy
    unsigned char previousRecord[SHIP_RECORD];
    int64_t errorTime; // the last failure: when, 0 for none, and its text
    char error[256];
    int32_t errorPast; // records were stored after it: the shipper recovered
};

// ship_state.cpp. The state file's name; reading (1 read, 0 none there, -1
// unreadable or damaged, the reason in error) and writing it whole (tmp,
// fsync, rename, fsync of the folder: 1 or 0).
std::string ShipStatePath(const ShipConfig& config);
int ShipStateLoad(const std::string& path, ShipState* state, std::string* error);
int ShipStateSave(const std::string& path, const ShipState& state);
// A new state: a fresh instance, the first generation.
void ShipStateNew(ShipState* state, const std::string& source);
// The lock of one shipper per buffer file. take: takes it (held until the
// process ends), else only looks. 1 taken, 0 held by another (*holder its
// process, 0 when none holds it and take is false), -1 on failure (the
// reason in *why: also a lock file that is not the shipper's own).
int ShipLock(const ShipConfig& config, bool take, long* holder, std::string* why);

// ship_files.cpp. The renamed file of a generation.
std::string ShipGenerationPath(const ShipConfig& config, int64_t generation);
// The largest generation a file name can carry (ten digits): a state or a
// hand-off past it is refused rather than wrapped.
constexpr int64_t SHIP_GENERATION_MAX = 9999999999;
// Opens a file the shipper reads only when it can be its own: a regular
// file, no link, owned by this user or root, not writable by others. Never
// waits (a FIFO in its place does not hang the open). 1 with *fd, 0 when
// there is none, -1 with the reason in *why.
int ShipOpenOwn(const std::string& path, int flags, int* fd, std::string* why);
// For pelmorctl check run by root on the shipper's files: any owner passes
// (whether they are the shipper's own is decided by the shipper's user).
void ShipAcceptAnyOwner();
// The first whole record of an open file that the record codec refuses, or
// -1 when every whole record is well formed (or the file cannot be read).
int64_t ShipFirstDamaged(int fd);
// Sets a damaged renamed file aside under NAME.defekt (NAME.defekt.2 ...);
// the new name, or "" when it could not be moved.
std::string ShipSetAside(const std::string& path);
// Removes renamed files of generations before the given one (shipped
// before a crash stopped their removal); how many.
int ShipRemoveShipped(const ShipConfig& config, int64_t before);
// The oldest renamed file left, or 0.
int64_t ShipOldestGeneration(const ShipConfig& config);
// Whether a saved state can be true beside the files: 1, or 0 with the
// reason (a position past the records of its file, renamed files it claims
// shipped long ago, a generation at the name's limit).
int ShipStatePlausible(const ShipConfig& config, const ShipState& state, std::string* why);
// The id of record (generation, index): SOURCE:INSTANCE:GENERATION:INDEX.
void ShipFormatId(const ShipState& state, int64_t generation, int64_t index,
                  char (&id)[SHIP_ID_MAX]);

// ship_backlog.cpp. What waits to be carried, from the files and the state
// saved last: pelmor-ship --status and pelmorctl metrics measure it alike.
struct ShipBacklog {
    int64_t records;
    int32_t files;
    std::time_t oldest;  // 0: none waiting, or it carries no time
    std::string refused; // a file in the way that is not the shipper's, with why
};
ShipBacklog ShipMeasureBacklog(const ShipConfig& config, const ShipState& state);

// ship_live.cpp. What only the running shipper knows, for pelmorctl
// metrics: in BUFFDATEI.versand.live, replaced whole by a rename but not
// synced, as it means nothing once the shipper has ended.
struct ShipLive {
    int64_t shipped;     // records acknowledged by the stream since the start
    int64_t connected;   // 1 while connected to NATS
    int64_t outageSince; // calendar seconds: since when NATS is away or records
                         // are not acknowledged; 0 while all is well
};
std::string ShipLivePath(const ShipConfig& config);
// 1, or 0 when it could not be written.
int ShipLiveSave(const std::string& path, const ShipLive& live);
// 1 read, 0 none there or not of this layout.
int ShipLiveLoad(const std::string& path, ShipLive* live);

#endif
