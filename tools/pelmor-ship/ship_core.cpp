// pelmor-ship's core over one ShipContext: reading and hand-off, the
// window of records in flight, the durable position.
//
// One thread reads the files and publishes; the publisher's thread reports
// each outcome into the window of records in flight. The durable position
// (ShipState) moves over the records acknowledged without a gap; a file
// behind it is removed.
#include "pelmor-ship/ship_core.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pelmor-ship/ship_settings.h"

namespace {

constexpr int64_t SHIP_SAVE_EVERY_MS = 200;
constexpr int64_t SHIP_IDLE_WAIT_MS = 500;
constexpr int64_t SHIP_RETRY_FIRST_MS = 100;
constexpr int64_t SHIP_RETRY_MAX_MS = 10000;

} // namespace

void ShipLog(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s pelmor-ship: %s\n", stamp, text);
}

void ShipCoreWake(ShipContext* ship) {
    const uint64_t one = 1;
    if (ship->wakeFd >= 0) {
        [[maybe_unused]] const ssize_t written = write(ship->wakeFd, &one, sizeof one);
    }
}

namespace {

int64_t CoreNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t CoreMillisSince(std::chrono::steady_clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 then)
        .count();
}

// The last failure, kept for --status; logged by the caller.
void CoreNoteError(ShipContext* ship, const std::string& text) {
    ship->state.errorTime = std::time(nullptr);
    ship->state.errorPast = 0;
    ++ship->errorSerial;
    std::snprintf(ship->state.error, sizeof ship->state.error, "%s", text.c_str());
}

// Writes the live figures pelmorctl metrics shows at most once a second, at once when the
// connection or an outage begins or ends.
void CorePublishLive(ShipContext* ship, bool connected, bool outage) {
    const std::time_t now = std::time(nullptr);
    ship->live.connected = connected ? 1 : 0;
    if (!outage) {
        ship->live.outageSince = 0;
    } else if (ship->live.outageSince == 0) {
        ship->live.outageSince = now;
    }
    const bool turned = ship->live.connected != ship->liveWritten.connected ||
                        ship->live.outageSince != ship->liveWritten.outageSince;
    if (!turned &&
        (now == ship->liveWrittenAt || ship->live.shipped == ship->liveWritten.shipped)) {
        return;
    }
    if (ShipLiveSave(ship->livePath, ship->live) == 1) {
        ship->liveWritten = ship->live;
        ship->liveWrittenAt = now;
    }
}

} // namespace

// Saves the state; once it is on the disk, renamed files the position has
// left behind are removed.
bool ShipCoreSave(ShipContext* ship) {
    if (ShipStateSave(ship->statePath, ship->state) == 0) {
        if (!ship->saveFailing) {
            ShipLog("Fehler: Zustandsdatei %s nicht geschrieben: %s", ship->statePath.c_str(),
                    std::strerror(errno));
        }
        ship->saveFailing = true;
        return false;
    }
    if (ship->saveFailing) {
        ShipLog("Zustandsdatei %s wieder geschrieben", ship->statePath.c_str());
    }
    ship->saveFailing = false;
    ship->saved = ship->state;
    ship->stateDirtyOnDisk = ship->state.dirty != 0;
    ship->lastSaveMs = CoreNowMs();
    if (ship->removedBelow != ship->state.generation) {
        ShipRemoveShipped(ship->config, ship->state.generation);
        ship->removedBelow = ship->state.generation;
    }
    return true;
}

namespace {

// The position is saved at most every SHIP_SAVE_EVERY_MS: what was stored
// after the last save goes out again after a crash, with the same ids.
void CoreSaveIfMoved(ShipContext* ship) {
    if ((ship->state.position != ship->saved.position ||
         ship->state.generation != ship->saved.generation ||
         ship->state.errorTime != ship->saved.errorTime ||
         ship->state.errorPast != ship->saved.errorPast) &&
        CoreNowMs() - ship->lastSaveMs >= SHIP_SAVE_EVERY_MS) {
        ShipCoreSave(ship);
    }
}

// ---- Files ----

// Whole records in the open file: a record still being written is not yet there.
int64_t CoreWholeRecords(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? info.st_size / SHIP_RECORD : 0;
}

// Reads record index of a file into record: true when it is there whole.
bool CoreReadRecordAt(int fd, int64_t index, unsigned char* record) {
    ssize_t got = 0;
    do {
        got = pread(fd, record, SHIP_RECORD, static_cast<off_t>(index * SHIP_RECORD));
    } while (got < 0 && errno == EINTR);
    return got == SHIP_RECORD;
}

// The last record of generation's file and its id; false when there is none.
bool CorePreviousOf(ShipContext* ship, int64_t generation, unsigned char* record,
                    char (&id)[SHIP_ID_MAX]);

// The id of a record. The receiver writes the record that meets a hand-off
// (the file renamed under it) again into the new live file: when the first
// record of a file is the last of the file before, byte for byte, it is
// that record and keeps its id.
void CoreIdOf(ShipContext* ship, int64_t generation, int64_t index, const unsigned char* record,
              char (&id)[SHIP_ID_MAX]) {
    unsigned char previous[SHIP_RECORD];
    if (index == 0 && generation > 1 && CorePreviousOf(ship, generation - 1, previous, id) &&
        std::memcmp(previous, record, SHIP_RECORD) == 0) {
        return;
    }
    ShipFormatId(ship->state, generation, index, id);
}

bool CorePreviousOf(ShipContext* ship, int64_t generation, unsigned char* record,
                    char (&id)[SHIP_ID_MAX]) {
    int fd = -1;
    std::string why;
    if (ShipOpenOwn(ShipGenerationPath(ship->config, generation), O_RDONLY, &fd, &why) == 1) {
        const int64_t count = CoreWholeRecords(fd);
        const bool read = count > 0 && CoreReadRecordAt(fd, count - 1, record);
        close(fd);
        if (read) {
            CoreIdOf(ship, generation, count - 1, record, id);
        }
        return read;
    }
    if (ship->state.previousGeneration == generation) {
        std::memcpy(record, ship->state.previousRecord, SHIP_RECORD);
        std::memcpy(id, ship->state.previousId, sizeof id);
        return true;
    }
    return false;
}

void CoreCloseFile(ShipContext* ship) {
    if (ship->read.fd >= 0) {
        close(ship->read.fd);
    }
    ship->read.fd = -1;
    ship->read.batchCount = 0;
    ship->read.batchAt = 0;
}

// A file the shipper will not use, or cannot move: logged once, kept for
// --status. The shipper waits on it and goes on with nothing else.
void CoreReportFile(ShipContext* ship, const std::string& why) {
    if (why == ship->fileTrouble) {
        return;
    }
    ship->fileTrouble = why;
    ShipLog("Fehler: %s; nicht verwendet, der Versand wartet hier", why.c_str());
    CoreNoteError(ship, why);
}

// A renamed file with a record the codec refuses: not ours to publish nor
// to delete. Set aside and said; its generation counts as done.
void CoreSetAside(ShipContext* ship, const std::string& path, int64_t index) {
    const std::string aside = ShipSetAside(path);
    if (aside.empty()) {
        CoreReportFile(ship, path + " hat ab Satz " + std::to_string(index) +
                                 " keine gueltigen Saetze und ist nicht beiseitegelegt: " +
                                 std::strerror(errno));
        return;
    }
    const std::string what = path + " hat ab Satz " + std::to_string(index) +
                             " keine gueltigen Saetze; beiseitegelegt als " + aside;
    ShipLog("Fehler: %s", what.c_str());
    CoreNoteError(ship, what);
    CoreCloseFile(ship);
    ++ship->read.generation;
    ship->read.index = 0;
}

// Opens the cursor's file: the renamed file of its generation, else the
// live file. False when there is none yet, or it is not the shipper's to
// read (then it waits: the name says where its records would be).
bool CoreOpenFile(ShipContext* ship) {
    for (int step = 0; step < 4; ++step) {
        const std::string renamed = ShipGenerationPath(ship->config, ship->read.generation);
        std::string why;
        int opened = ShipOpenOwn(renamed, O_RDONLY, &ship->read.fd, &why);
        ship->read.renamed = opened != 0;
        if (opened == 0) {
            opened = ShipOpenOwn(ship->config.bufferFile, O_RDONLY, &ship->read.fd, &why);
        }
        if (opened < 0) {
            CoreReportFile(ship, why);
            return false;
        }
        if (opened == 0) {
            return false;
        }
        const int64_t damaged = ship->read.renamed ? ShipFirstDamaged(ship->read.fd) : -1;
        if (damaged >= 0) {
            CoreSetAside(ship, renamed, damaged);
            continue;
        }
        struct stat info {};
        fstat(ship->read.fd, &info);
        ship->read.inode = info.st_ino;
        ship->read.device = info.st_dev;
        ship->fileTrouble.clear();
        return true;
    }
    return false;
}

// Takes the live file over once enough of it is carried: renamed to its
// generation's name, the receiver begins a new one. Every record the
// receiver appends to it after the rename it also writes into the new live
// file, so the renamed file is ours to finish at once.
void CoreHandOff(ShipContext* ship) {
    if (ship->read.generation >= SHIP_GENERATION_MAX) {
        CoreReportFile(ship, ship->config.bufferFile + " nicht uebernommen: Generation " +
                                 std::to_string(ship->read.generation) +
                                 " ist die letzte, die ein Dateiname traegt");
        return;
    }
    struct stat named {};
    if (stat(ship->config.bufferFile.c_str(), &named) != 0 || named.st_ino != ship->read.inode ||
        named.st_dev != ship->read.device) {
        return; // the name leads elsewhere: not ours to move
    }
    const std::string target = ShipGenerationPath(ship->config, ship->read.generation);
    if (renameat2(AT_FDCWD, ship->config.bufferFile.c_str(), AT_FDCWD, target.c_str(),
                  RENAME_NOREPLACE) != 0) {
        CoreReportFile(ship, ship->config.bufferFile + " nicht in " + target +
                                 " umbenannt: " + std::strerror(errno));
        return;
    }
    ship->read.renamed = true;
}

// The next record to publish; false when none is there now.
bool CoreNextRecord(ShipContext* ship, int64_t* generation, int64_t* index, unsigned char* record) {
    for (int step = 0; step < 4; ++step) {
        if (ship->read.fd < 0 && !CoreOpenFile(ship)) {
            return false;
        }
        if (ship->read.batchAt < ship->read.batchCount) {
            *generation = ship->read.generation;
            *index = ship->read.batchIndex + ship->read.batchAt;
            std::memcpy(record,
                        ship->read.batch +
                            static_cast<std::ptrdiff_t>(ship->read.batchAt) * SHIP_RECORD,
                        SHIP_RECORD);
            ++ship->read.batchAt;
            ++ship->read.index;
            return true;
        }
        const int64_t whole = CoreWholeRecords(ship->read.fd);
        if (ship->read.index < whole) {
            const int64_t want = std::min<int64_t>(whole - ship->read.index, SHIP_READ_BATCH);
            ssize_t got = 0;
            do {
                got =
                    pread(ship->read.fd, ship->read.batch, static_cast<size_t>(want * SHIP_RECORD),
                          static_cast<off_t>(ship->read.index * SHIP_RECORD));
            } while (got < 0 && errno == EINTR);
            if (got < SHIP_RECORD) {
                return false;
            }
            ship->read.batchCount = static_cast<int32_t>(got / SHIP_RECORD);
            // The live file is checked as it grows: what follows a record
            // the codec refuses waits, said once, and is never published.
            for (int32_t i = 0; i < ship->read.batchCount; ++i) {
                RecordFields fields{};
                if (RecordDecode(ship->read.batch + static_cast<std::ptrdiff_t>(i) * SHIP_RECORD,
                                 &fields) != RECORD_OK) {
                    ship->read.batchCount = i;
                    if (i == 0) {
                        CoreReportFile(ship, ship->config.bufferFile + " hat an Satz " +
                                                 std::to_string(ship->read.index) +
                                                 " keinen gueltigen Satz");
                        return false;
                    }
                    break;
                }
            }
            ship->read.batchAt = 0;
            ship->read.batchIndex = ship->read.index;
            continue;
        }
        if (ship->read.renamed) {
            // Finished: what follows is in the next generation's file.
            CoreCloseFile(ship);
            ++ship->read.generation;
            ship->read.index = 0;
            continue;
        }
        if (ship->read.index * SHIP_RECORD >= ship->config.handoffBytes) {
            CoreHandOff(ship);
            continue;
        }
        return false;
    }
    return false;
}

// ---- The window of records in flight ----

ShipSlot& CoreSlotOf(ShipContext* ship, int64_t number) {
    return ship->slots[static_cast<size_t>(number % static_cast<int64_t>(ship->slots.size()))];
}

// Remembers the sequence of a record passed; the one passed a window
// earlier was stored before any record from the position on was published.
void CorePassSequence(ShipContext* ship, uint64_t sequence) {
    const size_t at =
        static_cast<size_t>(ship->floorPassed % static_cast<int64_t>(ship->floorRing.size()));
    if (ship->floorPassed >= static_cast<int64_t>(ship->floorRing.size())) {
        ship->state.floor = std::max(ship->state.floor, ship->floorRing[at]);
    }
    ship->floorRing[at] = sequence;
    ++ship->floorPassed;
}

// The position moves into the next generation: the file before is stored
// whole. Its last record is kept (for a hand-off copy in the next file),
// the position saved, then the file removed.
void CoreFinishGeneration(ShipContext* ship) {
    const int64_t finished = ship->state.generation;
    unsigned char record[SHIP_RECORD];
    char id[SHIP_ID_MAX];
    if (CorePreviousOf(ship, finished, record, id)) {
        ship->state.previousGeneration = finished;
        std::memcpy(ship->state.previousRecord, record, SHIP_RECORD);
        std::memcpy(ship->state.previousId, id, sizeof id);
    }
    ship->state.generation = finished + 1;
    ship->state.position = 0;
    ShipCoreSave(ship); // and the file goes once the new position is on the disk
}

} // namespace

// Moves the position over the records stored without a gap.
void ShipCoreAdvance(ShipContext* ship) {
    std::lock_guard<std::mutex> guard(ship->windowLock);
    while (ship->head < ship->next && CoreSlotOf(ship, ship->head).status == SHIP_SLOT_STORED) {
        const ShipSlot& slot = CoreSlotOf(ship, ship->head);
        while (slot.generation > ship->state.generation) {
            CoreFinishGeneration(ship);
        }
        ship->state.position = slot.index + 1;
        if (slot.errorSerial == ship->errorSerial && ship->state.errorTime != 0) {
            ship->state.errorPast = 1; // stored after the last error: it is over
        }
        CorePassSequence(ship, slot.sequence);
        ++ship->head;
        ++ship->live.shipped;
    }
    // Nothing in flight and the reading gone on to a later file.
    while (ship->head == ship->next && ship->read.generation > ship->state.generation) {
        CoreFinishGeneration(ship);
    }
}

namespace {

void CorePublish(ShipContext* ship, ShipSlot& slot) {
    slot.errorSerial = ship->errorSerial;
    if (ship->publisher.publish(ship->config, slot.id, slot.record) == 0) {
        std::lock_guard<std::mutex> guard(ship->windowLock);
        slot.status = SHIP_SLOT_FAILED;
        --ship->pending;
        ship->anyFailed = true;
        ship->lastAckError = "Veroeffentlichung nicht uebergeben";
    }
}

} // namespace

// Publishes new records while the window has room.
void ShipCoreFillWindow(ShipContext* ship) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(ship->windowLock);
            ship->roomWanted = ship->next - ship->head >= static_cast<int64_t>(ship->slots.size());
            if (ship->roomWanted) {
                return;
            }
        }
        if (!ship->stateDirtyOnDisk) {
            // Said on the disk before the first publication: from now on
            // the stream may hold records past the saved position.
            ship->state.dirty = 1;
            if (!ShipCoreSave(ship)) {
                return;
            }
        }
        ShipSlot& slot = CoreSlotOf(ship, ship->next);
        if (!CoreNextRecord(ship, &slot.generation, &slot.index, slot.record)) {
            return;
        }
        CoreIdOf(ship, slot.generation, slot.index, slot.record, slot.id);
        // Only after a restart with records left in the stream is there anything to look up.
        const bool present = !ship->present.empty() && ship->present.count(slot.id) != 0;
        {
            std::lock_guard<std::mutex> guard(ship->windowLock);
            slot.status = present ? SHIP_SLOT_STORED : SHIP_SLOT_PENDING;
            slot.sequence = ship->state.floor;
            slot.errorSerial = -1;
            ship->pending += present ? 0 : 1;
            ++ship->next;
        }
        if (!present) {
            CorePublish(ship, slot);
        }
    }
}

// Publishes again what failed, with the same ids: the stream drops the
// copies of what it stored after all.
void ShipCoreRetryFailed(ShipContext* ship) {
    std::vector<ShipSlot*> again;
    {
        std::lock_guard<std::mutex> guard(ship->windowLock);
        for (int64_t number = ship->head; number < ship->next; ++number) {
            ShipSlot& slot = CoreSlotOf(ship, number);
            if (slot.status == SHIP_SLOT_FAILED && ship->present.count(slot.id) != 0) {
                slot.status = SHIP_SLOT_STORED; // stored after all, its answer lost
                slot.sequence = ship->state.floor;
            } else if (slot.status == SHIP_SLOT_FAILED) {
                slot.status = SHIP_SLOT_PENDING;
                ++ship->pending;
                again.push_back(&slot);
            }
        }
        ship->anyFailed = false;
        ship->hint = ship->head;
    }
    for (ShipSlot* slot : again) {
        CorePublish(ship, *slot);
    }
}

namespace {

void CoreNoteFound(ShipContext* ship, const char* id) {
    ship->present.insert(id);
}

} // namespace

namespace {

// The slot awaiting the outcome of id, or -1. Outcomes come mostly in the
// order of publication: the slot after the last one found is looked at first.
int64_t CorePendingSlot(ShipContext* ship, const char* id) {
    const int64_t from = std::clamp(ship->hint, ship->head, ship->next);
    for (int64_t number = from; number < ship->next; ++number) {
        const ShipSlot& slot = CoreSlotOf(ship, number);
        if (slot.status == SHIP_SLOT_PENDING && std::strcmp(slot.id, id) == 0) {
            return number;
        }
    }
    for (int64_t number = ship->head; number < from; ++number) {
        const ShipSlot& slot = CoreSlotOf(ship, number);
        if (slot.status == SHIP_SLOT_PENDING && std::strcmp(slot.id, id) == 0) {
            return number;
        }
    }
    return -1;
}

} // namespace

void ShipCoreOutcome(ShipContext* ship, const char* id, bool stored, uint64_t sequence,
                     const char* error) {
    bool wake = true;
    {
        std::lock_guard<std::mutex> guard(ship->windowLock);
        const int64_t number = CorePendingSlot(ship, id);
        if (number >= 0) {
            ShipSlot& slot = CoreSlotOf(ship, number);
            slot.status = stored ? SHIP_SLOT_STORED : SHIP_SLOT_FAILED;
            slot.sequence = sequence;
            --ship->pending;
            ship->hint = number + 1;
            if (!stored) {
                ship->anyFailed = true;
                ship->lastAckError = error;
            }
        }
        // A run that waits for room in a full window is woken once half of
        // it is free, not for every record: refilled by halves, it publishes
        // in bursts instead of trading a wake-up for each outcome.
        wake = !stored || !ship->roomWanted ||
               ship->pending <= static_cast<int64_t>(ship->slots.size()) / 2;
    }
    if (wake) {
        // Only a run that waits needs the write: one per outcome would cost
        // a system call each.
        ++ship->outcomes;
        if (ship->sleeping.exchange(false)) {
            ShipCoreWake(ship);
        }
    }
}

namespace {

// Waits unless an outcome came in since seen (the count of outcomes read
// before the round): sleeping is set before the count is looked at again,
// so an outcome either is seen here or wakes the poll.
void CoreWait(ShipContext* ship, int64_t milliseconds, int64_t seen) {
    ship->sleeping = true;
    if (ship->outcomes.load() != seen) {
        ship->sleeping = false;
        return;
    }
    pollfd watched[2] = {{ship->wakeFd, POLLIN, 0}, {ship->watchFd, POLLIN, 0}};
    if (poll(watched, ship->watchFd >= 0 ? 2 : 1, static_cast<int>(milliseconds)) > 0) {
        char drain[4096];
        for (const pollfd& one : watched) {
            if ((one.revents & POLLIN) != 0) {
                [[maybe_unused]] const ssize_t got = read(one.fd, drain, sizeof drain);
            }
        }
    }
    ship->sleeping = false;
}

} // namespace

// Watches the buffer file's folder: a record appended, a file made.
void ShipCoreWatch(ShipContext* ship) {
    ship->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ship->watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::size_t slash = ship->config.bufferFile.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : ship->config.bufferFile.substr(0, slash + 1);
    if (ship->watchFd >= 0 &&
        inotify_add_watch(ship->watchFd, folder.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        close(ship->watchFd);
        ship->watchFd = -1; // falls back to looking every half second
    }
}

// Loads the state, or makes the first one. False after saying why.
bool ShipCoreLoadState(ShipContext* ship) {
    std::string error;
    const int loaded = ShipStateLoad(ship->statePath, &ship->state, &error);
    if (loaded < 0) {
        ShipLog("Fehler: Zustandsdatei %s nicht lesbar: %s; pelmor-ship startet nicht (nichts ist "
                "verloren: die Bufferdateien bleiben)",
                ship->statePath.c_str(), error.c_str());
        return false;
    }
    if (loaded > 0 && ShipStatePlausible(ship->config, ship->state, &error) == 0) {
        ShipLog(
            "Fehler: Zustandsdatei %s kann nicht stimmen: %s; pelmor-ship startet nicht (nichts "
            "ist verloren: die Bufferdateien bleiben)",
            ship->statePath.c_str(), error.c_str());
        return false;
    }
    if (loaded == 0) {
        ShipStateNew(&ship->state, ship->config.source);
        // Renamed files without a state: carry them too, oldest first.
        const int64_t oldest = ShipOldestGeneration(ship->config);
        if (oldest != 0) {
            ship->state.generation = oldest;
        }
        if (!ShipCoreSave(ship)) {
            return false;
        }
    }
    ship->saved = ship->state;
    ship->stateDirtyOnDisk = ship->state.dirty != 0;
    const int removed = ShipRemoveShipped(ship->config, ship->state.generation);
    ship->removedBelow = ship->state.generation;
    if (removed > 0) {
        ShipLog("%d bereits gespeicherte Datei(en) entfernt", removed);
    }
    ship->read.generation = ship->state.generation;
    ship->read.index = ship->state.position;
    ship->read.fd = -1;
    ship->slots.assign(static_cast<size_t>(ship->config.window), ShipSlot{});
    ship->floorRing.assign(static_cast<size_t>(ship->config.window), 0);
    return true;
}

// Once per connection: the stream made sure of, and when the last run may
// have left records in the stream past the position, which those are.
bool ShipCorePrepare(ShipContext* ship, bool* scanned, std::string* error) {
    uint64_t last = 0;
    if (ship->publisher.stream(ship->config, &last, error) == 0) {
        return false;
    }
    if (*scanned) {
        return true;
    }
    if (ship->state.dirty == 0) {
        ship->state.floor = last; // nothing of ours after this
    } else {
        if (ship->state.floor > last) {
            ship->state.floor = 0; // a stream made anew
        }
        char prefix[SHIP_ID_MAX];
        std::snprintf(prefix, sizeof prefix, "%s:%s:", ship->state.source, ship->state.instance);
        if (ship->publisher.scan(ship->config, ship->state.floor, last, prefix, ship,
                                 CoreNoteFound) == 0) {
            *error = "Stream " + ship->config.stream + " ab Sequenz " +
                     std::to_string(ship->state.floor + 1) + " nicht gelesen";
            return false;
        }
        ShipLog("Stream ab Sequenz %" PRIu64 " gelesen, %zu Saetze dieser Quelle "
                "schon darin",
                ship->state.floor + 1, ship->present.size());
    }
    *scanned = true;
    return true;
}

namespace {

// Waits for the records in flight, at most SHIP_ACK_WAIT_MS more.
void CoreDrain(ShipContext* ship) {
    const auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(ship->windowLock);
        ship->roomWanted = false; // every outcome now may end the wait
    }
    for (;;) {
        const int64_t seen = ship->outcomes.load();
        ShipCoreAdvance(ship);
        {
            std::lock_guard<std::mutex> guard(ship->windowLock);
            bool waiting = false;
            for (int64_t number = ship->head; number < ship->next; ++number) {
                waiting = waiting || CoreSlotOf(ship, number).status == SHIP_SLOT_PENDING;
            }
            if (!waiting || CoreMillisSince(start) > SHIP_ACK_WAIT_MS) {
                ship->state.dirty = ship->head != ship->next;
                return;
            }
        }
        CoreWait(ship, 50, seen);
    }
}

// An outage (NATS unreachable, or records not acknowledged) is logged
// once when it begins and once when it ends, not for every try.
void CoreBeginTrouble(ShipContext* ship, const std::string& what) {
    CoreNoteError(ship, what);
    if (!ship->trouble) {
        ship->trouble = true;
        ship->troubleSince = std::chrono::steady_clock::now();
        ShipLog("Fehler: %s; die Saetze bleiben in der Bufferdatei, neue Versuche mit wachsenden "
                "Pausen",
                what.c_str());
        ShipCoreSave(ship);
    }
}

void CoreRetryLater(ShipContext* ship) {
    ship->retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(ship->retryPause);
    ship->retryPause = std::min(ship->retryPause * 2, SHIP_RETRY_MAX_MS);
}

// Failed publications: tried again with growing pauses. A stream deleted
// while running answers nothing ("no responders"): made anew, as at the
// start, before the retry.
void CoreRetry(ShipContext* ship, const std::string& ackError) {
    CoreBeginTrouble(ship, "Saetze nicht bestaetigt: " + ackError);
    if (std::chrono::steady_clock::now() >= ship->retryAt) {
        uint64_t last = 0;
        std::string why;
        if (ship->publisher.stream(ship->config, &last, &why) != 0) {
            ShipCoreRetryFailed(ship);
        } else {
            CoreNoteError(ship, why);
        }
        CoreRetryLater(ship);
    }
}

// One round of the run; how long to wait for work afterwards.
int64_t CoreStep(ShipContext* ship) {
    if (ship->publisher.takeLost()) {
        // What went out before the connection was lost may be stored
        // with its answer lost; an outage can outlast the duplicate
        // window, so the stream is read again before anything is resent.
        ship->prepared = false;
        ship->scanned = false;
        CoreBeginTrouble(ship,
                         "NATS nicht erreichbar (" + ShipUrlShown(ship->config.natsUrl) + ")");
    }
    ShipCoreAdvance(ship);
    CoreSaveIfMoved(ship);
    CorePublishLive(ship, ship->publisher.connected(),
                    ship->trouble || !ship->publisher.connected());
    if (!ship->publisher.connected()) {
        return SHIP_IDLE_WAIT_MS;
    }
    if (!ship->prepared) {
        if (std::chrono::steady_clock::now() < ship->retryAt) {
            return 50;
        }
        std::string why;
        ship->prepared = ShipCorePrepare(ship, &ship->scanned, &why);
        if (!ship->prepared) {
            CoreBeginTrouble(ship, why);
            CoreRetryLater(ship);
            return 0;
        }
        ship->retryPause = SHIP_RETRY_FIRST_MS;
    }
    bool failed = false;
    std::string ackError;
    {
        std::lock_guard<std::mutex> guard(ship->windowLock);
        failed = ship->anyFailed;
        ackError = ship->lastAckError;
    }
    if (failed) {
        CoreRetry(ship, ackError);
    } else if (ship->trouble && ship->head == ship->next) {
        ship->trouble = false;
        ship->retryPause = SHIP_RETRY_FIRST_MS;
        ShipLog("wieder in Ordnung nach %" PRId64 " s", CoreMillisSince(ship->troubleSince) / 1000);
    }
    if (!ship->trouble) {
        ShipCoreFillWindow(ship);
    }
    return ship->trouble ? 50 : SHIP_IDLE_WAIT_MS;
}

} // namespace

void ShipCoreRun(ShipContext* ship) {
    ship->retryAt = std::chrono::steady_clock::now();
    ship->retryPause = SHIP_RETRY_FIRST_MS;
    while (!ship->stopAsked) {
        const int64_t seen = ship->outcomes.load();
        const int64_t wait = CoreStep(ship);
        if (wait > 0) {
            CoreWait(ship, wait, seen);
        }
    }
    CoreDrain(ship);
    ShipCoreSave(ship);
}

void ShipCoreInit(ShipContext* ship, const ShipConfig& config, const ShipPublisher& publisher) {
    ship->config = config;
    ship->publisher = publisher;
    ship->statePath = ShipStatePath(config);
    ship->livePath = ShipLivePath(config);
    ship->read.fd = -1;
}
