// The shipper's backlog: the records of the renamed files and the live file
// from the saved position on.
#include "pelmor-ship/ship.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ShipBacklog ShipMeasureBacklog(const ShipConfig& config, const ShipState& state) {
    ShipBacklog backlog{};
    bool first = true;
    const int64_t oldest = ShipOldestGeneration(config);
    int64_t generation = oldest != 0 ? std::min(oldest, state.generation) : state.generation;
    for (;; ++generation) {
        const std::string path = ShipGenerationPath(config, generation);
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const bool renamed = fd >= 0;
        if (!renamed) {
            fd = open(config.bufferFile.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0) {
            break;
        }
        const int64_t from = generation == state.generation  ? state.position
                             : generation < state.generation ? -1
                                                             : 0;
        // Whole records only: one still being written is not yet there.
        struct stat info {};
        const int64_t whole = fstat(fd, &info) == 0 ? info.st_size / SHIP_RECORD : 0;
        if (from >= 0 && whole > from) {
            backlog.records += whole - from;
            ++backlog.files;
            unsigned char record[SHIP_RECORD];
            ssize_t got = 0;
            do {
                got = pread(fd, record, SHIP_RECORD, static_cast<off_t>(from * SHIP_RECORD));
            } while (got < 0 && errno == EINTR);
            if (first && got == SHIP_RECORD) {
                backlog.oldest = ShipRecordTime(record);
                first = false;
            }
        }
        close(fd);
        if (!renamed) {
            break;
        }
    }
    return backlog;
}
