// The last failure of the calling thread's library calls.
#include "last_error.h"

#include <cstdarg>
#include <cstdio>

#include "commlib/nevtar.h"

namespace {

constexpr std::size_t NEVTAR_ERROR_TEXT_SIZE = 256;

// One thread-local record: every call clears it, and in a shared library
// each thread-local variable costs a look-up of its own.
struct NevtarLastError {
    bool pending;
    int32_t number;
    char text[NEVTAR_ERROR_TEXT_SIZE];
};

thread_local NevtarLastError lastError{};

} // namespace

void NevtarClearError() {
    NevtarLastError& error = lastError;
    error.pending = false;
    error.number = 0;
    error.text[0] = '\0';
}

int32_t NevtarFail(int32_t result, int errorNumber, const char* format, ...) {
    NevtarLastError& error = lastError;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(error.text, sizeof error.text, format, arguments);
    va_end(arguments);
    error.number = errorNumber;
    error.pending = true;
    return result;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CGetLastErrorString(int32_t* errorNumber, char* text,
                                                              int32_t capacity) {
    const NevtarLastError& error = lastError;
    if (errorNumber != nullptr) {
        *errorNumber = error.pending ? error.number : 0;
    }
    if (text != nullptr && capacity > 0) {
        std::snprintf(text, static_cast<std::size_t>(capacity), "%s",
                      error.pending ? error.text : "");
    }
    return error.pending ? 1 : 0;
}
