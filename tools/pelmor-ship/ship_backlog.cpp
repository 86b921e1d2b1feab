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
    for (; generation <= SHIP_GENERATION_MAX; ++generation) {
        // Only files that can be the shipper's own are counted; the first
        // other one ends the count and is named in backlog.refused.
        int fd = -1;
        int opened =
            ShipOpenOwn(ShipGenerationPath(config, generation), O_RDONLY, &fd, &backlog.refused);
        const bool renamed = opened != 0;
        if (opened == 0) {
            opened = ShipOpenOwn(config.bufferFile, O_RDONLY, &fd, &backlog.refused);
        }
        if (opened != 1) {
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
                backlog.oldest = RecordStampTime(record);
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
