// pelmor-ship's run: rounds of publishing and waiting, the outages and
// retries, the figures pelmorctl metrics shows, the drain at a stop.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include <poll.h>
#include <unistd.h>

#include "pelmor-ship/ship_settings.h"
#include "ship_core_parts.h"

namespace {

constexpr int64_t SHIP_SAVE_EVERY_MS = 200;
constexpr int64_t SHIP_IDLE_WAIT_MS = 500;
constexpr int64_t SHIP_RETRY_FIRST_MS = 100;
constexpr int64_t SHIP_RETRY_MAX_MS = 10000;

int64_t CoreMillisSince(std::chrono::steady_clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 then)
        .count();
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

// The position is saved at most every SHIP_SAVE_EVERY_MS: what was stored
// after the last save goes out again after a crash, with the same ids.
void CoreSaveIfMoved(ShipContext* ship) {
    if ((ship->state.position != ship->saved.position ||
         ship->state.generation != ship->saved.generation ||
         ship->state.errorTime != ship->saved.errorTime ||
         ship->state.errorPast != ship->saved.errorPast) &&
        ShipCoreNowMs() - ship->lastSaveMs >= SHIP_SAVE_EVERY_MS) {
        ShipCoreSave(ship);
    }
}

// ---- The window of records in flight ----

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
            if (ship->pending == 0 || CoreMillisSince(start) > SHIP_ACK_WAIT_MS) {
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
    ShipCoreNoteError(ship, what);
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
            ShipCoreNoteError(ship, why);
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
