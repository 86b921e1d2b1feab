// The last failure of the calling thread's library calls.
#include "last_error.h"

#include <cstdarg>
#include <cstdio>

#include "commlib/nevtar.h"

namespace {

constexpr std::size_t NEVTAR_ERROR_TEXT_SIZE = 256;

thread_local bool errorPending = false;
thread_local int32_t errorNumberPending = 0;
thread_local char errorText[NEVTAR_ERROR_TEXT_SIZE];

} // namespace

void NevtarClearError() {
    errorPending = false;
    errorNumberPending = 0;
    errorText[0] = '\0';
}

int32_t NevtarFail(int32_t result, int errorNumber, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(errorText, sizeof errorText, format, arguments);
    va_end(arguments);
    errorNumberPending = errorNumber;
    errorPending = true;
    return result;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CGetLastErrorString(int32_t* errorNumber, char* text,
                                                              int32_t capacity) {
    if (errorNumber != nullptr) {
        *errorNumber = errorPending ? errorNumberPending : 0;
    }
    if (text != nullptr && capacity > 0) {
        std::snprintf(text, static_cast<std::size_t>(capacity), "%s",
                      errorPending ? errorText : "");
    }
    return errorPending ? 1 : 0;
}
