// pelmorctl check and list: the receiver's parameter file read with the
// receiver's own table, exactly as the receiver reads it (KEYINI_READ alone).
#include "pelmorctl.h"

#include <cstdio>
#include <string>

#include "paramfile/keyini.h"
#include "receiver/settings.h"
#include "pelmor-ship/ship_settings.h"

namespace {

// What PelmorctlShowSetting found.
constexpr int PELMORCTL_SETTING_BAD = 0; // missing or invalid: not what the file means
constexpr int PELMORCTL_SETTING_FROM_FILE = 1;
constexpr int PELMORCTL_SETTING_OPTIONAL = 2; // absent, and may be

// Reads the file into the receiver's table: 0, or the reader's result code
// with the line in *position.
int32_t PelmorctlRead(const char* path, int32_t* position) {
    int32_t resultCode = 0;
    ReadKeyIni(path, KEYINI_READ, PelmorSettings, PELMOR_SETTINGS_COUNT, &resultCode, position);
    return resultCode;
}

// Only a fault inside the file has a line; the file's own faults (it cannot
// be opened, read to its end or closed) come before and after any line.
void PelmorctlSayReadError(int32_t resultCode, int32_t position) {
    if (resultCode > KEYINI_E_EOF) {
        std::printf("Fehler %d: %s\n", static_cast<int>(resultCode), KeyIniErrorText(resultCode));
        return;
    }
    std::printf("Fehler %d in Zeile %d: %s\n", static_cast<int>(resultCode),
                static_cast<int>(position), KeyIniErrorText(resultCode));
}

// Names every line comment of the reading that ran past a LF without CR, as
// it swallows the lines after it.
void PelmorctlWarnOpenComments() {
    KeyIniOpenComment comments[KEYINI_OPEN_COMMENTS_MAX];
    const int32_t count = KeyIniOpenComments(comments, KEYINI_OPEN_COMMENTS_MAX);
    for (int32_t i = 0; i < count && i < KEYINI_OPEN_COMMENTS_MAX; ++i) {
        const std::string end = comments[i].endLine != 0
                                    ? "Zeile " + std::to_string(comments[i].endLine)
                                    : "zum Dateiende";
        std::printf("Warnung: Zeilenkommentar in Zeile %d laeuft ueber ein Zeilenende "
                    "ohne CR hinaus und verschluckt die Zeilen bis %s\n",
                    static_cast<int>(comments[i].line), end.c_str());
    }
    if (count > KEYINI_OPEN_COMMENTS_MAX) {
        std::printf("Warnung: %d weitere solche Zeilenkommentare\n",
                    static_cast<int>(count - KEYINI_OPEN_COMMENTS_MAX));
    }
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
    const int32_t port = PelmorPortOfText(text);
    if (index == PELMOR_SETTING_UPLPORT && port != 0) {
        value += " (Port " + std::to_string(port) + ")";
    }
    return value;
}

// Prints one setting; PELMORCTL_SETTING_FROM_FILE when its value comes from
// the file and the receiver can start with it.
int PelmorctlShowSetting(int32_t index) {
    const ParameterDescriptor& entry = PelmorSettings[index];
    std::string value = PelmorctlValueText(index);
    std::printf("%-10s = %-20s", entry.paramToken, value.c_str());
    const bool noPort = index == PELMOR_SETTING_UPLPORT && entry.valid &&
                        PelmorPortOfText(entry.value.textValue) == 0;
    if (entry.found && entry.valid && !noPort) {
        std::puts(" aus der Datei");
        return PELMORCTL_SETTING_FROM_FILE;
    }
    const char* received = entry.type == TYPSTRING ? "den leeren Text"
                           : entry.type == TYPBOOL ? "FALSE"
                                                   : "0";
    if (!entry.found && entry.optional) {
        std::printf(" nicht in der Datei (darf fehlen); der Empfaenger erhaelt %s\n", received);
        return PELMORCTL_SETTING_OPTIONAL;
    }
    if (!entry.found) {
        std::printf(" FEHLT in der Datei; der Empfaenger erhaelt %s\n", received);
    } else if (entry.type == TYPBOOL) {
        std::printf(" UNGUELTIG: \"%.100s\" (erlaubt: TRUE oder FALSE); der Empfaenger "
                    "erhaelt %s\n",
                    entry.content, received);
    } else if (noPort) {
        std::printf(" UNGUELTIG: \"%.100s\" (erlaubt: Port 1 bis 65535); der Empfaenger "
                    "startet nicht\n",
                    entry.content);
    } else {
        std::printf(" UNGUELTIG: \"%.100s\" (erlaubt: %s %.0f bis %.0f); der Empfaenger "
                    "erhaelt %s\n",
                    entry.content, entry.type == TYPSTRING ? "Laenge" : "Wert", entry.min,
                    entry.max, received);
    }
    return PELMORCTL_SETTING_BAD;
}

// Group VERSAND as pelmor-ship reads it, when the file has it: each key
// with its value or its default. 1 when pelmor-ship can start with it.
int PelmorctlCheckShipper(const char* path) {
    int32_t position = 0;
    const int32_t resultCode = ShipTableRead(path, &position);
    if (resultCode != KEYINI_OK) {
        std::puts("Gruppe VERSAND (pelmor-ship):");
        PelmorctlSayReadError(resultCode, position);
        std::puts("pelmor-ship liest diese Datei nicht und startet nicht.");
        return 0;
    }
    if (!ShipGroupPresent()) {
        return 1;
    }
    std::puts("Gruppe VERSAND (pelmor-ship):");
    int bad = 0;
    for (int32_t setting = 0; setting < SHIP_SETTINGS_COUNT; ++setting) {
        const ParameterDescriptor& entry = ShipEntry(setting);
        const int state = ShipEntryState(setting);
        const std::string value = entry.type == TYPSTRING
                                      ? std::string("\"") + entry.value.textValue + "\""
                                      : std::to_string(entry.value.intValue);
        if (state > 0) {
            std::printf("%-10s = %-20s aus der Datei\n", entry.paramToken, value.c_str());
        } else if (state == 0) {
            std::printf("%-10s   nicht in der Datei; Vorgabe \"%s\"%s\n", entry.paramToken,
                        entry.defaultValue, setting == SHIP_QUELLE ? " (der Rechnername)" : "");
        } else {
            ++bad;
            std::printf("%-10s   UNGUELTIG: \"%.100s\" (erlaubt: %s %.0f bis %.0f%s); "
                        "pelmor-ship startet nicht\n",
                        entry.paramToken, entry.content,
                        entry.type == TYPSTRING ? "Laenge" : "Wert", entry.min, entry.max,
                        ShipEntryRule(setting));
        }
    }
    std::string why;
    for (int32_t setting : {SHIP_NATSCREDS, SHIP_NATSKEY, SHIP_NATSCERT, SHIP_NATSCA}) {
        if (ShipEntryState(setting) > 0 &&
            ShipSecretFileProblem(setting, ShipEntry(setting).value.textValue, &why)) {
            ++bad;
            std::printf("Fehler: %s; pelmor-ship startet nicht\n", why.c_str());
        }
    }
    return bad == 0;
}

} // namespace

int PelmorctlCheck(const char* path) {
    std::printf("Parameterdatei: %s\n", path);
    int32_t position = 0;
    const int32_t resultCode = PelmorctlRead(path, &position);
    PelmorctlWarnOpenComments();
    if (resultCode != KEYINI_OK) {
        PelmorctlSayReadError(resultCode, position);
        std::puts("Der Empfaenger liest diese Datei nicht und startet nicht.");
        return TOOL_EXIT_FAILED;
    }
    int fromFile = 0;
    int optionalAbsent = 0;
    for (int32_t index = 0; index < PELMOR_SETTINGS_COUNT; ++index) {
        const int shown = PelmorctlShowSetting(index);
        fromFile += shown == PELMORCTL_SETTING_FROM_FILE;
        optionalAbsent += shown == PELMORCTL_SETTING_OPTIONAL;
    }
    const int expected = PELMOR_SETTINGS_COUNT - optionalAbsent;
    const int shipperReady = PelmorctlCheckShipper(path);
    if (fromFile < expected) {
        std::printf("%d von %d Einstellungen nicht aus der Datei.\n", expected - fromFile,
                    expected);
        return TOOL_EXIT_FAILED;
    }
    char logFileName[sizeof(ParameterValue::textValue)];
    char bufferFileName[sizeof(ParameterValue::textValue)];
    PelmorSettingText(PELMOR_SETTING_LOGDATEI, logFileName, sizeof logFileName);
    PelmorSettingText(PELMOR_SETTING_BUFFDATEI, bufferFileName, sizeof bufferFileName);
    if (PelmorLogMeetsBuffer(logFileName, bufferFileName)) {
        std::printf("LOGDATEI \"%s\" ist die Bufferdatei \"%s\" oder deren .old; der "
                    "Empfaenger startet nicht.\n",
                    logFileName, bufferFileName);
        return TOOL_EXIT_FAILED;
    }
    if (PelmorLogMeetsShipper(logFileName, bufferFileName)) {
        std::printf("LOGDATEI \"%s\" ist eine Datei von pelmor-ship zur Bufferdatei \"%s\" "
                    "(Zustand, Sperre oder uebernommene Datei); der Empfaenger startet nicht.\n",
                    logFileName, bufferFileName);
        return TOOL_EXIT_FAILED;
    }
    // The last line says what the exit code says.
    if (!shipperReady || !PelmorctlCheckShipFiles(bufferFileName)) {
        std::puts("pelmor-ship startet mit diesen Einstellungen nicht.");
        return TOOL_EXIT_FAILED;
    }
    std::puts(optionalAbsent == 0 ? "Alle Einstellungen aus der Datei."
                                  : "Alle noetigen Einstellungen aus der Datei.");
    return TOOL_EXIT_OK;
}

int PelmorctlList(const char* path) {
    int32_t position = 0;
    const int32_t resultCode = PelmorctlRead(path, &position);
    if (resultCode != KEYINI_OK) {
        PelmorctlSayReadError(resultCode, position);
    }
    int32_t listCode = 0;
    ReadKeyIni(nullptr, KEYINI_LIST, PelmorSettings, PELMOR_SETTINGS_COUNT, &listCode, &position);
    return resultCode == KEYINI_OK ? TOOL_EXIT_OK : TOOL_EXIT_FAILED;
}
