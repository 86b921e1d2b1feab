// The log file: one line per entry, filtered by level, capped in size with
// one older generation kept as NAME.old.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "last_error.h"
#include "log_file.h"
#include "commlib/nevtar.h"

namespace {

constexpr std::size_t NEVTAR_LOG_LINE_SIZE = 1024;
constexpr std::size_t NEVTAR_LOG_NAME_SIZE = 4096;
constexpr const char NEVTAR_LOG_OLD_SUFFIX[] = ".old";

char logFileName[NEVTAR_LOG_NAME_SIZE];
char logOldName[NEVTAR_LOG_NAME_SIZE + sizeof NEVTAR_LOG_OLD_SUFFIX];
int32_t logLevel = 0;
int64_t logMaxBytes = 0; // 0: no limit
bool logReady = false;

// Entries are single lines whatever the caller's texts hold.
void NevtarLogFlatten(char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x20) {
            text[i] = ' ';
        }
    }
}

} // namespace

extern "C" NEVTAR_API int32_t NEVTAR_CALL CLogInit(const char* fileName, int32_t level,
                                                   int32_t maxLogSize) {
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
    std::snprintf(logOldName, sizeof logOldName, "%s%s", fileName, NEVTAR_LOG_OLD_SUFFIX);
    if (NevtarLogFileCheck(logFileName) == 0) {
        return 0;
    }
    logLevel = level;
    logMaxBytes = maxLogSize > 0 ? static_cast<int64_t>(maxLogSize) * 1024 : 0;
    logReady = true;
    return 1;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CLogWrite(const char* source, const char* function,
                                                    int32_t level, int32_t errorCode,
                                                    int32_t furtherNumber, const char* message,
                                                    const char* extraText) {
    NevtarClearError();
    if (!logReady || level > logLevel) {
        return 0;
    }
    char line[NEVTAR_LOG_LINE_SIZE];
    const std::size_t stampLength = NevtarLogStamp(line, sizeof line);
    const bool hasExtra = extraText != nullptr && extraText[0] != '\0';
    std::snprintf(line + stampLength, sizeof line - stampLength, "%s %s L%ld E%ld N%ld %s%s%s",
                  source ? source : "", function ? function : "", static_cast<long>(level),
                  static_cast<long>(errorCode), static_cast<long>(furtherNumber),
                  message ? message : "", hasExtra ? " | " : "", hasExtra ? extraText : "");
    std::size_t length = std::strlen(line);
    NevtarLogFlatten(line, length);
    if (length > sizeof line - 2) {
        length = sizeof line - 2;
    }
    line[length++] = '\n';
    return NevtarLogFileAppend(logFileName, logOldName, line, length, logMaxBytes);
}
