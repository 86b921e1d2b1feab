// KEYINI listing: shows the table on the console, one entry per key press.
#include "keyini_state.h"
#include "platform/console.h"

#include <cstdio>

namespace {

constexpr DWORD LISTING_POLL_MS = 500;

const char* TextOrNull(const char* text) {
    return text != nullptr ? text : "(null)";
}

// The type's name; a code without one is shown with its number.
const char* TypeName(int32_t type, char* buffer, size_t size) {
    switch (type) {
    case TYPSTRING:
        return "TYPSTRING";
    case TYPCHAR:
        return "TYPCHAR";
    case TYPBOOL:
        return "TYPBOOL";
    case TYPINT:
        return "TYPINT";
    case TYPLONG:
        return "TYPLONG";
    case TYPDOUBLE:
        return "TYPDOUBLE";
    case TYPDYN:
        return "TYPDYN";
    default:
        std::snprintf(buffer, size, "unbekannt (%d)", static_cast<int>(type));
        return buffer;
    }
}

void WaitForKey() {
    while (!KeyPressWaiting()) {
        Sleep(LISTING_POLL_MS);
    }
    ReadKeyPress();
}

void ListEntry(int32_t number, const ParameterDescriptor* entry) {
    char typeBuffer[32];
    std::printf("\r\n");
    std::printf("Nummer_________: %d\r\nGruppen-Token__: %s\r\n", static_cast<int>(number),
                TextOrNull(entry->groupToken));
    std::printf("Parameter-Token: %s\r\nToken-ID_______: %d\r\n", TextOrNull(entry->paramToken),
                static_cast<int>(entry->tokenId));
    std::printf("Optional_______: %d\r\nOnError________: %d\r\n", static_cast<int>(entry->optional),
                static_cast<int>(entry->onError));
    std::printf("Min____________: %f\r\nMax____________: %f\r\n", entry->min, entry->max);
    std::printf("Typ____________: %s\r\nDefault-Wert___: %s\r\n",
                TypeName(entry->type, typeBuffer, sizeof typeBuffer),
                TextOrNull(entry->defaultValue));
    // content is bounded in the print as well: a caller may have filled it whole.
    std::printf("Inhalt_________: %.*s\r\nKommentar______: %s\r\n",
                static_cast<int>(KEYINI_TEXT_MAX), entry->content, TextOrNull(entry->comment));
    std::printf("\r\nBitte eine Taste druecken !\r\n");
}

} // namespace

void ListKeyIni(const ParameterDescriptor* table, int32_t count) {
    std::printf("Parameterliste fuer Programm-Initialisierungsdatei:\r\n");
    for (int32_t i = 0; i < count; ++i) {
        ListEntry(i, &table[i]);
        // The prompt must be seen before the wait, also when output is a file.
        std::fflush(stdout);
        WaitForKey();
    }
    std::fflush(stdout);
}
