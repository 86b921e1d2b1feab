#include "log.h"

#include <cstdarg>
#include <cstdio>

#include "commlib/nevtar.h"

namespace {

constexpr int32_t PELMOR_LOGTEXT_SIZE = 80;
char PelmorMessageBuffer[PELMOR_LOGTEXT_SIZE];

} // namespace

void PelmorLog(const char* function, int32_t level, int32_t errorCode, int32_t furtherNumber,
               const char* extraText, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer, format, arguments);
    va_end(arguments);
    CLogWrite("pelmor", function, level, errorCode, furtherNumber, PelmorMessageBuffer, extraText);
}

void PelmorLogLibraryFailure(const char* function, int32_t errorCode, const char* message) {
    int32_t number = 0;
    CGetLastErrorString(&number, PelmorMessageBuffer, PELMOR_LOGTEXT_SIZE);
    CLogWrite("pelmor", function, PELMOR_LOG_FAILURE, errorCode, number, message,
              PelmorMessageBuffer);
}

bool PelmorLibraryFailurePending(void) {
    int32_t number = 0;
    return CGetLastErrorString(&number, PelmorMessageBuffer, PELMOR_LOGTEXT_SIZE) != 0;
}
