// The reader's result codes as texts for people.
#include "paramfile/keyini.h"

namespace {

struct KeyIniErrorEntry {
    int32_t code;
    const char* text;
};

constexpr KeyIniErrorEntry keyIniErrorTexts[] = {
    {KEYINI_E_NO_FLAGS, "keine Anweisung gegeben"},
    {KEYINI_E_OPEN, "Datei kann nicht geoeffnet werden"},
    {KEYINI_E_CLOSE, "Datei kann nicht geschlossen werden"},
    {KEYINI_E_NO_PATH, "kein Dateiname gegeben"},
    {KEYINI_E_EOF, "Datei endet, wo noch ein Wort erwartet wird"},
    {KEYINI_E_TOKEN_LONG, "Wort laenger als 100 Zeichen"},
    {KEYINI_E_NO_HEADER, "Datei beginnt nicht mit KEYINI"},
    {KEYINI_E_NO_OPEN, "\"[\" erwartet"},
    {KEYINI_E_NO_CLOSE, "\"]\" erwartet"},
    {KEYINI_E_NO_EQUALS, "\"=\" erwartet"},
    {KEYINI_E_UNKNOWN_KEY, "unbekannter Schluessel"},
    {KEYINI_E_NOT_FOUND, "Pflichtschluessel fehlt"},
    {KEYINI_E_NOT_VALID, "kein gueltiger Wert und keine Vorgabe"},
    {KEYINI_E_NOT_DYN, "DYNAMIC-Abschnitt fuer eine Gruppe ohne TYPDYN-Eintrag"},
    {KEYINI_E_NO_MEMORY, "kein Speicher"},
};

} // namespace

const char* KeyIniErrorText(int32_t code) {
    for (const KeyIniErrorEntry& entry : keyIniErrorTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "Lesefehler";
}
