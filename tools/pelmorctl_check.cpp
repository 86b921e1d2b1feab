// pelmorctl check and list: the receiver's parameter file read with the
// receiver's own table, exactly as the receiver reads it (KEYINI_READ alone).
#include "tools/pelmorctl.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "paramfile/keyini.h"
#include "receiver/settings.h"

namespace {

// What PelmorctlShowSetting found.
constexpr int PELMORCTL_SETTING_BAD = 0;      // missing or invalid: not what the file means
constexpr int PELMORCTL_SETTING_FROM_FILE = 1;
constexpr int PELMORCTL_SETTING_OPTIONAL = 2; // absent, and may be

const char* PelmorctlReadError(int32_t code) {
    switch (code) {
    case KEYINI_E_OPEN:
        return "Datei kann nicht geoeffnet werden";
    case KEYINI_E_CLOSE:
        return "Datei kann nicht geschlossen werden";
    case KEYINI_E_EOF:
        return "Datei endet, wo noch ein Wort erwartet wird";
    case KEYINI_E_TOKEN_LONG:
        return "Wort laenger als 100 Zeichen";
    case KEYINI_E_NO_HEADER:
        return "Datei beginnt nicht mit KEYINI";
    case KEYINI_E_NO_OPEN:
        return "\"[\" erwartet";
    case KEYINI_E_NO_CLOSE:
        return "\"]\" erwartet";
    case KEYINI_E_NO_EQUALS:
        return "\"=\" erwartet";
    case KEYINI_E_UNKNOWN_KEY:
        return "unbekannter Schluessel";
    case KEYINI_E_NOT_DYN:
        return "DYNAMIC-Abschnitt fuer eine Gruppe ohne TYPDYN-Eintrag";
    case KEYINI_E_NO_MEMORY:
        return "kein Speicher";
    default:
        return "Lesefehler";
    }
}

int PelmorctlRead(const char* path) {
    int32_t resultCode = 0;
    int32_t position = 0;
    if (ReadKeyIni(path, KEYINI_READ, PelmorSettings, PELMOR_SETTINGS_COUNT, &resultCode,
                   &position) != 0) {
        return 1;
    }
    std::printf("Fehler %d in Zeile %d: %s\n", static_cast<int>(resultCode),
                static_cast<int>(position), PelmorctlReadError(resultCode));
    return 0;
}

// The value the receiver takes from a setting, as text.
std::string PelmorctlValueText(int32_t index) {
    const ParameterDescriptor& entry = PelmorSettings[index];
    if (entry.type == TYPBOOL) {
        return entry.value.intValue ? "TRUE" : "FALSE";
    }
    if (entry.type != TYPSTRING) {
        return std::to_string(entry.value.intValue);
    }
    char text[sizeof entry.value.textValue];
    PelmorSettingText(index, text, sizeof text);
    std::string value = std::string("\"") + text + "\"";
    if (index == PELMOR_SETTING_UPLPORT) {
        value += " (Port " + std::to_string(std::atoi(text)) + ")";
    }
    return value;
}

// Prints one setting; says whether its value comes from the file
// (PELMORCTL_SETTING_*).
int PelmorctlShowSetting(int32_t index) {
    const ParameterDescriptor& entry = PelmorSettings[index];
    std::string value = PelmorctlValueText(index);
    std::printf("%-10s = %-20s", entry.paramToken, value.c_str());
    if (entry.found && entry.valid) {
        std::puts(" aus der Datei");
        return PELMORCTL_SETTING_FROM_FILE;
    }
    const char* received = entry.type == TYPSTRING ? "den leeren Text"
                           : entry.type == TYPBOOL ? "FALSE"
                                                   : "0";
    if (!entry.found) {
        std::printf(" %s; der Empfaenger erhaelt %s\n",
                    entry.optional ? "nicht in der Datei (darf fehlen)" : "FEHLT in der Datei",
                    received);
        return entry.optional ? PELMORCTL_SETTING_OPTIONAL : PELMORCTL_SETTING_BAD;
    }
    char allowed[64];
    if (entry.type == TYPBOOL) {
        std::snprintf(allowed, sizeof allowed, "TRUE oder FALSE");
    } else {
        std::snprintf(allowed, sizeof allowed, "%s %.0f bis %.0f",
                      entry.type == TYPSTRING ? "Laenge" : "Wert", entry.min, entry.max);
    }
    std::printf(" UNGUELTIG: \"%.100s\" (erlaubt: %s); der Empfaenger erhaelt %s\n",
                entry.content, allowed, received);
    return PELMORCTL_SETTING_BAD;
}

// A line comment runs to the first LF directly preceded by CR. Names every
// line comment that runs past a LF without CR, as it swallows the lines after it.
// Tokens and comments are found as the reader finds them.
int PelmorctlWarnLineComments(const std::string& bytes) {
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    auto isSymbol = [](char c) { return c == '=' || c == '[' || c == ']'; };
    size_t at = 0;
    int32_t line = 1;
    int warnings = 0;
    while (at < bytes.size()) {
        if (isSpace(bytes[at]) || isSymbol(bytes[at])) {
            line += bytes[at] == '\n';
            at++;
            continue;
        }
        size_t start = at;
        while (at < bytes.size() && !isSpace(bytes[at]) && !isSymbol(bytes[at])) {
            at++;
        }
        if (bytes.compare(start, 2, "/*") == 0) {
            size_t end = bytes.find("*/", at);
            end = end == std::string::npos ? bytes.size() : end + 2;
            for (; at < end; ++at) {
                line += bytes[at] == '\n';
            }
        } else if (bytes.compare(start, 2, "//") == 0) {
            // The comment's text begins with the byte that ended its opening token.
            size_t text = at;
            int32_t opened = line;
            int32_t last = 0; // the line whose CR LF ends the comment; 0 at the end of the file
            int swallowing = 0;
            for (; at < bytes.size() && last == 0; ++at) {
                if (bytes[at] == '\n') {
                    if (at > text && bytes[at - 1] == '\r') {
                        last = line;
                    } else {
                        swallowing = 1;
                    }
                    line++;
                }
            }
            if (swallowing) {
                std::string end = last ? "Zeile " + std::to_string(last) : "zum Dateiende";
                std::printf("Warnung: Zeilenkommentar in Zeile %d laeuft ueber ein Zeilenende "
                            "ohne CR hinaus und verschluckt die Zeilen bis %s\n",
                            static_cast<int>(opened), end.c_str());
                warnings++;
            }
        }
    }
    return warnings;
}

} // namespace

int PelmorctlCheck(const char* path) {
    std::printf("Parameterdatei: %s\n", path);
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    PelmorctlWarnLineComments(bytes);
    if (!PelmorctlRead(path)) {
        std::puts("Der Empfaenger liest diese Datei nicht und startet nicht.");
        return PELMORCTL_FAILED;
    }
    int fromFile = 0;
    int optionalAbsent = 0;
    for (int32_t index = 0; index < PELMOR_SETTINGS_COUNT; ++index) {
        const int shown = PelmorctlShowSetting(index);
        fromFile += shown == PELMORCTL_SETTING_FROM_FILE;
        optionalAbsent += shown == PELMORCTL_SETTING_OPTIONAL;
    }
    const int expected = PELMOR_SETTINGS_COUNT - optionalAbsent;
    if (fromFile < expected) {
        std::printf("%d von %d Einstellungen nicht aus der Datei.\n", expected - fromFile,
                    expected);
        return PELMORCTL_FAILED;
    }
    std::puts(optionalAbsent == 0 ? "Alle Einstellungen aus der Datei."
                                  : "Alle noetigen Einstellungen aus der Datei.");
    return PELMORCTL_OK;
}

int PelmorctlList(const char* path) {
    int read = PelmorctlRead(path);
    int32_t resultCode = 0;
    int32_t position = 0;
    ReadKeyIni(nullptr, KEYINI_LIST, PelmorSettings, PELMOR_SETTINGS_COUNT, &resultCode,
               &position);
    return read ? PELMORCTL_OK : PELMORCTL_FAILED;
}
