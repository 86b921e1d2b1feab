// Failures of Win32 and Winsock calls, with the system's own text.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "last_error.h"
#include "commlib/nevtar.h"

int32_t NevtarFailSystem(int errorNumber, const char* what) {
    char text[160] = "";
    // MAX_WIDTH_MASK: one line, without the line end the message texts carry.
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(errorNumber), 0, text, sizeof text, nullptr);
    std::size_t end = length == 0 ? 0 : std::strlen(text);
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '.')) {
        --end;
    }
    text[end] = '\0';
    if (end == 0) {
        std::snprintf(text, sizeof text, "Systemfehler %d", errorNumber);
    }
    return NevtarFail(NEVTAR_ERR_SYSTEM, errorNumber, "%s: %s", what, text);
}
