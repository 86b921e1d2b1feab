// The files the shipper takes records from, and the names it gives them.
#include "pelmor-ship/ship.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/decimal.h"

namespace {

constexpr int32_t FILES_GENERATION_DIGITS = 10;

// The folder and the bare name of the buffer file.
void FilesSplit(const ShipConfig& config, std::string* folder, std::string* name) {
    const std::size_t slash = config.bufferFile.rfind('/');
    *folder = slash == std::string::npos ? "." : config.bufferFile.substr(0, slash);
    *name = slash == std::string::npos ? config.bufferFile : config.bufferFile.substr(slash + 1);
}

// The generation a folder entry is the renamed file of, or 0.
int64_t FilesGenerationOf(const std::string& bufferName, const char* entry) {
    const std::size_t length = bufferName.size();
    if (std::strncmp(entry, bufferName.c_str(), length) != 0 || entry[length] != '.') {
        return 0;
    }
    const char* digits = entry + length + 1;
    if (std::strlen(digits) != FILES_GENERATION_DIGITS) {
        return 0;
    }
    int64_t generation = 0;
    return DecimalParse(digits, FILES_GENERATION_DIGITS, SHIP_GENERATION_MAX, &generation)
               ? generation
               : 0;
}

// Calls visit for every renamed file; the smallest generation for which
// visit says so is returned (0 none).
template <typename Visit> int64_t FilesEach(const ShipConfig& config, Visit visit) {
    std::string folder;
    std::string name;
    FilesSplit(config, &folder, &name);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int64_t smallest = 0;
    while (const dirent* entry = readdir(dir)) {
        const int64_t generation = FilesGenerationOf(name, entry->d_name);
        if (generation > 0 && visit(generation) && (smallest == 0 || generation < smallest)) {
            smallest = generation;
        }
    }
    closedir(dir);
    return smallest;
}

} // namespace

std::string ShipGenerationPath(const ShipConfig& config, int64_t generation) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%0*" PRId64, FILES_GENERATION_DIGITS, generation);
    return config.bufferFile + suffix;
}

namespace {
bool FilesAnyOwner = false;
} // namespace

void ShipAcceptAnyOwner() {
    FilesAnyOwner = true;
}

int ShipOpenOwn(const std::string& path, int flags, int* fd, std::string* why) {
    *fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (*fd < 0 && errno == ENOENT) {
        return 0;
    }
    if (*fd < 0) {
        *why = path + (errno == ELOOP ? " ist ein symbolischer Link"
                                      : std::string(" nicht geoeffnet: ") + std::strerror(errno));
        return -1;
    }
    struct stat info {};
    char text[96] = {};
    if (fstat(*fd, &info) != 0) {
        std::snprintf(text, sizeof text, " nicht abgefragt: %s", std::strerror(errno));
    } else if (S_ISDIR(info.st_mode)) {
        std::snprintf(text, sizeof text, " ist ein Verzeichnis");
    } else if (S_ISFIFO(info.st_mode)) {
        std::snprintf(text, sizeof text, " ist eine FIFO");
    } else if (!S_ISREG(info.st_mode)) {
        std::snprintf(text, sizeof text, " ist keine gewoehnliche Datei");
    } else if (!FilesAnyOwner && info.st_uid != geteuid() && info.st_uid != 0) {
        std::snprintf(text, sizeof text, " gehoert Benutzer %u, nicht diesem (%u)",
                      static_cast<unsigned>(info.st_uid), static_cast<unsigned>(geteuid()));
    } else if ((info.st_mode & S_IWOTH) != 0) {
        std::snprintf(text, sizeof text, " ist fuer alle beschreibbar");
    } else if (info.st_nlink != 1) {
        std::snprintf(text, sizeof text, " hat %lu Namen (harter Link)",
                      static_cast<unsigned long>(info.st_nlink));
    } else {
        return 1;
    }
    close(*fd);
    *fd = -1;
    *why = path + text;
    return -1;
}

int64_t ShipFirstDamaged(int fd) {
    constexpr int32_t batchRecords = 64;
    static unsigned char batch[batchRecords * SHIP_RECORD];
    for (int64_t index = 0;;) {
        ssize_t got = 0;
        do {
            got = pread(fd, batch, sizeof batch, static_cast<off_t>(index * SHIP_RECORD));
        } while (got < 0 && errno == EINTR);
        const int64_t whole = got > 0 ? got / SHIP_RECORD : 0;
        for (int64_t i = 0; i < whole; ++i) {
            RecordFields fields{};
            if (RecordDecode(batch + i * SHIP_RECORD, &fields) != RECORD_OK) {
                return index + i;
            }
        }
        if (whole < batchRecords) {
            return -1;
        }
        index += whole;
    }
}

std::string ShipSetAside(const std::string& path) {
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const std::string target =
            path + ".defekt" + (attempt > 1 ? "." + std::to_string(attempt) : "");
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            return target;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return "";
}

int ShipStatePlausible(const ShipConfig& config, const ShipState& state, std::string* why) {
    char text[256];
    // A million hand-offs short of the last name: no run gets there, a
    // written number does.
    constexpr int64_t margin = 1000000;
    if (state.generation < 1 || state.generation > SHIP_GENERATION_MAX - margin) {
        std::snprintf(text, sizeof text,
                      "Generation %" PRId64 " ausserhalb von 1 bis %" PRId64
                      " (die Dateinamen tragen bis %" PRId64 ")",
                      state.generation, SHIP_GENERATION_MAX - margin, SHIP_GENERATION_MAX);
        *why = text;
        return 0;
    }
    // Save removes every file before the new generation once it is on the
    // disk: only the one just finished may be left by a crash.
    int64_t older = 0;
    FilesEach(config, [&](int64_t generation) {
        struct stat info {};
        if (generation < state.generation - 1 &&
            lstat(ShipGenerationPath(config, generation).c_str(), &info) == 0 &&
            S_ISREG(info.st_mode) && (older == 0 || generation < older)) {
            older = generation;
        }
        return false;
    });
    if (older != 0) {
        *why = ShipGenerationPath(config, older) + " liegt vor der Generation " +
               std::to_string(state.generation) + " des Zustands, ist also nicht versandt";
        return 0;
    }
    int fd = -1;
    std::string ignored;
    std::string path = ShipGenerationPath(config, state.generation);
    int opened = ShipOpenOwn(path, O_RDONLY, &fd, &ignored);
    if (opened == 0) {
        path = config.bufferFile;
        opened = ShipOpenOwn(path, O_RDONLY, &fd, &ignored);
    }
    if (opened < 0) {
        return 1; // a file not ours: the run names it and waits
    }
    struct stat info {};
    const int64_t whole = opened > 0 && fstat(fd, &info) == 0 ? info.st_size / SHIP_RECORD : 0;
    if (fd >= 0) {
        close(fd);
    }
    if (state.position > whole) {
        std::snprintf(text, sizeof text, "Position %" PRId64 " hinter den %" PRId64 " Saetzen von ",
                      state.position, whole);
        *why = text + path;
        return 0;
    }
    return 1;
}

int ShipRemoveShipped(const ShipConfig& config, int64_t before) {
    int removed = 0;
    FilesEach(config, [&](int64_t generation) {
        if (generation < before && unlink(ShipGenerationPath(config, generation).c_str()) == 0) {
            ++removed;
        }
        return false;
    });
    return removed;
}

int64_t ShipOldestGeneration(const ShipConfig& config) {
    return FilesEach(config, [](int64_t) { return true; });
}

void ShipFormatId(const ShipState& state, int64_t generation, int64_t index,
                  char (&id)[SHIP_ID_MAX]) {
    std::snprintf(id, sizeof id, "%s:%s:%" PRId64 ":%" PRId64, state.source, state.instance,
                  generation, index);
}
