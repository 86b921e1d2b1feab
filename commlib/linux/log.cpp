// The log file: one line per entry, filtered by level, capped in size with
// one older generation kept as NAME.old.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commlib/linux/last_error.h"
#include "commlib/nevtar.h"

namespace {

constexpr std::size_t NEVTAR_LOG_LINE_SIZE = 1024;
constexpr const char NEVTAR_LOG_OLD_SUFFIX[] = ".old";

char logFileName[PATH_MAX];
int32_t logLevel = 0;
int64_t logMaxBytes = 0; // 0: no limit
bool logReady = false;

int NevtarLogOpen()
{
    return open(logFileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Start of the line: local date and time with milliseconds and process id.
int NevtarLogStamp(char* line, std::size_t size)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch()).count() % 1000;
    std::tm local{};
    char stamp[32] = "0000-00-00 00:00:00";
    if (localtime_r(&seconds, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    }
    return std::snprintf(line, size, "%s.%03d [%ld] ", stamp, static_cast<int>(millis),
                         static_cast<long>(getpid()));
}

// Entries are single lines whatever the caller's texts hold.
void NevtarLogFlatten(char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x20) {
            text[i] = ' ';
        }
    }
}

// Moves a full file aside before an entry of entryBytes would overflow it.
void NevtarLogRotateIfFull(int& fd, std::size_t entryBytes)
{
    if (logMaxBytes <= 0) {
        return;
    }
    struct stat status{};
    if (fstat(fd, &status) != 0 || status.st_size == 0 ||
        status.st_size + static_cast<int64_t>(entryBytes) <= logMaxBytes) {
        return;
    }
    char oldName[PATH_MAX + sizeof NEVTAR_LOG_OLD_SUFFIX];
    std::snprintf(oldName, sizeof oldName, "%s%s", logFileName, NEVTAR_LOG_OLD_SUFFIX);
    if (rename(logFileName, oldName) != 0) {
        return; // keep writing to the full file rather than lose the entry
    }
    const int fresh = NevtarLogOpen();
    if (fresh >= 0) {
        close(fd);
        fd = fresh;
    }
}

} // namespace

extern "C" NEVTAR_API int32_t NEVTAR_CALL CLogInit(const char* fileName, int32_t level,
                                                   int32_t maxLogSize)
{
    NevtarClearError();
    logReady = false;
    if (fileName == nullptr || fileName[0] == '\0') {
        NevtarFail(NEVTAR_ERR_ARGUMENT, EINVAL, "CLogInit: kein Dateiname");
        return 0;
    }
    if (std::strlen(fileName) >= sizeof logFileName) {
        NevtarFail(NEVTAR_ERR_ARGUMENT, ENAMETOOLONG, "CLogInit: Dateiname zu lang");
        return 0;
    }
    std::snprintf(logFileName, sizeof logFileName, "%s", fileName);
    const int fd = NevtarLogOpen();
    if (fd < 0) {
        NevtarFailSystem(errno, "CLogInit: open");
        return 0;
    }
    close(fd);
    logLevel = level;
    logMaxBytes = maxLogSize > 0 ? static_cast<int64_t>(maxLogSize) * 1024 : 0;
    logReady = true;
    return 1;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CLogWrite(const char* source, const char* function,
                                                    int32_t level, int32_t errorCode,
                                                    int32_t furtherNumber, const char* message,
                                                    const char* extraText)
{
    NevtarClearError();
    if (!logReady || level > logLevel) {
        return 0;
    }
    char line[NEVTAR_LOG_LINE_SIZE];
    const int stampLength = NevtarLogStamp(line, sizeof line);
    const bool hasExtra = extraText != nullptr && extraText[0] != '\0';
    std::snprintf(line + stampLength, sizeof line - static_cast<std::size_t>(stampLength),
                  "%s %s L%ld E%ld N%ld %s%s%s", source ? source : "",
                  function ? function : "", static_cast<long>(level),
                  static_cast<long>(errorCode), static_cast<long>(furtherNumber),
                  message ? message : "", hasExtra ? " | " : "", hasExtra ? extraText : "");
    std::size_t length = std::strlen(line);
    NevtarLogFlatten(line, length);
    if (length > sizeof line - 2) {
        length = sizeof line - 2;
    }
    line[length++] = '\n';

    int fd = NevtarLogOpen();
    if (fd < 0) {
        const int error = errno;
        return NevtarFail(NEVTAR_ERR_LOG, error, "CLogWrite: open: %s", std::strerror(error));
    }
    NevtarLogRotateIfFull(fd, length);
    const ssize_t written = write(fd, line, length);
    const int error = errno;
    close(fd);
    if (written != static_cast<ssize_t>(length)) {
        return NevtarFail(NEVTAR_ERR_LOG, written < 0 ? error : EIO, "CLogWrite: write");
    }
    return 0;
}
