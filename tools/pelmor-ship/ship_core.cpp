// pelmor-ship's core over one ShipContext: the window of records in flight
// and the durable position (following the files is ship_follow.cpp's, the
// run with its outages ship_run.cpp's).
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

#include <unistd.h>

#include "pelmor-ship/ship_settings.h"
#include "ship_core_parts.h"

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

// The last failure, kept for --status; logged by the caller.
void ShipCoreNoteError(ShipContext* ship, const std::string& text) {
    ship->state.errorTime = std::time(nullptr);
    ship->state.errorPast = 0;
    ++ship->errorSerial;
    std::snprintf(ship->state.error, sizeof ship->state.error, "%s", text.c_str());
}

// On the steady clock.
int64_t ShipCoreNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ShipCoreWake(ShipContext* ship) {
    const uint64_t one = 1;
    if (ship->wakeFd >= 0) {
        [[maybe_unused]] const ssize_t written = write(ship->wakeFd, &one, sizeof one);
    }
}

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
    ship->lastSaveMs = ShipCoreNowMs();
    if (ship->removedBelow != ship->state.generation) {
        ShipRemoveShipped(ship->config, ship->state.generation);
        ship->removedBelow = ship->state.generation;
    }
    return true;
}

namespace {

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
    if (ShipFollowPreviousOf(ship, finished, record, id)) {
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
        if (!ShipFollowNextRecord(ship, &slot.generation, &slot.index, slot.record)) {
            return;
        }
        ShipFollowIdOf(ship, slot.generation, slot.index, slot.record, slot.id);
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

void ShipCoreInit(ShipContext* ship, const ShipConfig& config, const ShipPublisher& publisher) {
    ship->config = config;
    ship->publisher = publisher;
    ship->statePath = ShipStatePath(config);
    ship->livePath = ShipLivePath(config);
    ship->read.fd = -1;
}
