// The log file on Linux: every entry one append-mode write, so entries
// survive a crash of the process and never interleave.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "last_error.h"
#include "log_file.h"
#include "commlib/nevtar.h"
#include "platform/linux/regular_file.h"

namespace {

// A FIFO, a device or another user's link in the log's place is no log.
int NevtarLogOpen(const char* fileName) {
    return RegularFileOpen(fileName, O_WRONLY | O_APPEND | O_CREAT, 0644);
}

// Moves a full file aside before an entry of entryBytes would overflow it.
void NevtarLogRotateIfFull(int& fd, const char* fileName, const char* oldName,
                           std::size_t entryBytes, int64_t maxBytes) {
    struct stat status {};
    if (maxBytes <= 0 || fstat(fd, &status) != 0 || status.st_size == 0 ||
        status.st_size + static_cast<int64_t>(entryBytes) <= maxBytes) {
        return;
    }
    if (RegularFileRename(fileName, oldName) != 0) {
        return; // keep writing to the full file rather than lose the entry
    }
    const int fresh = NevtarLogOpen(fileName);
    if (fresh >= 0) {
        close(fd);
        fd = fresh;
    }
}

} // namespace

std::size_t NevtarLogStamp(char* line, std::size_t size) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    char stamp[32] = "0000-00-00 00:00:00";
    if (localtime_r(&seconds, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    }
    const int length = std::snprintf(line, size, "%s.%03d [%ld] ", stamp, static_cast<int>(millis),
                                     static_cast<long>(getpid()));
    if (length < 0 || size == 0) {
        return 0;
    }
    return static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}

int NevtarLogFileCheck(const char* fileName) {
    const int fd = NevtarLogOpen(fileName);
    if (fd < 0) {
        NevtarFailSystem(errno, "CLogInit: open");
        return 0;
    }
    close(fd);
    return 1;
}

int32_t NevtarLogFileAppend(const char* fileName, const char* oldName, const char* entry,
                            std::size_t length, int64_t maxBytes) {
    int fd = NevtarLogOpen(fileName);
    if (fd < 0) {
        const int error = errno;
        return NevtarFail(NEVTAR_ERR_LOG, error, "CLogWrite: open: %s", std::strerror(error));
    }
    NevtarLogRotateIfFull(fd, fileName, oldName, length, maxBytes);
    const ssize_t written = write(fd, entry, length);
    const int error = errno;
    close(fd);
    if (written != static_cast<ssize_t>(length)) {
        return NevtarFail(NEVTAR_ERR_LOG, written < 0 ? error : EIO, "CLogWrite: write");
    }
    return 0;
}
