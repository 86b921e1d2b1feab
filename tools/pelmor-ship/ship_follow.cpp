// pelmor-ship following its files: the live file as it grows, its hand-off
// to a renamed generation, the id of every record read.
#include "ship_core_parts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

} // namespace

// The id of a record. The receiver writes the record that meets a hand-off
// (the file renamed under it) again into the new live file: when the first
// record of a file is the last of the file before, byte for byte, it is
// that record and keeps its id.
void ShipFollowIdOf(ShipContext* ship, int64_t generation, int64_t index,
                    const unsigned char* record, char (&id)[SHIP_ID_MAX]) {
    unsigned char previous[SHIP_RECORD];
    if (index == 0 && generation > 1 && ShipFollowPreviousOf(ship, generation - 1, previous, id) &&
        std::memcmp(previous, record, SHIP_RECORD) == 0) {
        return;
    }
    ShipFormatId(ship->state, generation, index, id);
}

bool ShipFollowPreviousOf(ShipContext* ship, int64_t generation, unsigned char* record,
                          char (&id)[SHIP_ID_MAX]) {
    int fd = -1;
    std::string why;
    if (ShipOpenOwn(ShipGenerationPath(ship->config, generation), O_RDONLY, &fd, &why) == 1) {
        const int64_t count = CoreWholeRecords(fd);
        const bool read = count > 0 && CoreReadRecordAt(fd, count - 1, record);
        close(fd);
        if (read) {
            ShipFollowIdOf(ship, generation, count - 1, record, id);
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

namespace {

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
    ShipCoreNoteError(ship, why);
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
    ShipCoreNoteError(ship, what);
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

} // namespace

// The next record to publish; false when none is there now.
bool ShipFollowNextRecord(ShipContext* ship, int64_t* generation, int64_t* index,
                          unsigned char* record) {
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
