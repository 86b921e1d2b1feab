// The files the shipper takes records from, and the names it gives them.
#include "pelmor-ship/ship.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <unistd.h>

#include "ship_codec.h"

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
    for (int32_t i = 0; i < FILES_GENERATION_DIGITS; ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return 0;
        }
        generation = generation * 10 + (digits[i] - '0');
    }
    return generation;
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

std::time_t ShipRecordTime(const unsigned char* record) {
    char stamp[RECORD_STAMP_WIDTH + 1];
    if (ShipCodecStamp(record, stamp) == 0) {
        return 0;
    }
    std::tm local{};
    local.tm_year = std::atoi(std::string(stamp, 4).c_str()) - 1900;
    local.tm_mon = std::atoi(std::string(stamp + 4, 2).c_str()) - 1;
    local.tm_mday = std::atoi(std::string(stamp + 6, 2).c_str());
    local.tm_hour = std::atoi(std::string(stamp + 8, 2).c_str());
    local.tm_min = std::atoi(std::string(stamp + 10, 2).c_str());
    local.tm_sec = std::atoi(std::string(stamp + 12, 2).c_str());
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    return when == static_cast<std::time_t>(-1) ? 0 : when;
}

void ShipFormatId(const ShipState& state, int64_t generation, int64_t index,
                  char (&id)[SHIP_ID_MAX]) {
    std::snprintf(id, sizeof id, "%s:%s:%" PRId64 ":%" PRId64, state.source, state.instance,
                  generation, index);
}
