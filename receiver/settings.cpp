#include "receiver/settings.h"

#include <cstdio>
#include <cstring>

#include "platform/share.h"
#include "protocol/decimal.h"
#include "protocol/names.h"
#include "protocol/wire.h"

namespace {

// The table's rows in a constant, so the compiler can check their order.
struct PelmorSettingsTable {
    ParameterDescriptor rows[PELMOR_SETTINGS_COUNT];
};

// found, optional, onError and valid start at 0, content and value empty: the
// receiver reads with KEYINI_READ alone, so a key that is absent or invalid
// keeps the empty text or 0. SYNC and MAXBUFSIZE are optional: without them,
// or with an invalid value, they are FALSE and 0 (no bound), and the
// receiver does what it always did.
// clang-format off
constexpr PelmorSettingsTable PELMOR_SETTINGS_ROWS = {{
//   group     key           token id                   found opt onErr valid min max         type       default                   content value comment
    {"PELMOR", "UPLPORT",    PELMOR_SETTING_UPLPORT,    0,    0,  0,    0,    1,  5,          TYPSTRING, PELMOR_DEFAULT_PORT_TEXT, {},     {},   "UPL-Empfangs-Port"},
    {"PELMOR", "BUFFDATEI",  PELMOR_SETTING_BUFFDATEI,  0,    0,  0,    0,    1,  50,         TYPSTRING, "PELMOR.BUF",             {},     {},   "PELMOR-Bufferdatei"},
    {"PELMOR", "LOGDATEI",   PELMOR_SETTING_LOGDATEI,   0,    0,  0,    0,    1,  50,         TYPSTRING, "PELMOR.LOG",             {},     {},   "PELMOR-Logdatei"},
    {"PELMOR", "MAXLOGSIZE", PELMOR_SETTING_MAXLOGSIZE, 0,    0,  0,    0,    1,  10000,      TYPINT,    "2000",                   {},     {},   "max. Logdateigroesse"},
    {"PELMOR", "ERRLEVEL",   PELMOR_SETTING_ERRLEVEL,   0,    0,  0,    0,    0,  10000,      TYPINT,    "1000",                   {},     {},   "ErrorLoglevel"},
    {"PELMOR", "TIMEOUT",    PELMOR_SETTING_TIMEOUT,    0,    0,  0,    0,    0,  1000,       TYPINT,    "3",                      {},     {},   "Receive-TimeOut"},
    {"PELMOR", "SYNC",       PELMOR_SETTING_SYNC,       0,    1,  0,    0,    0,  0,          TYPBOOL,   "FALSE",                  {},     {},   "Satz vor Quittung auf Platte"},
    {"PELMOR", "MAXBUFSIZE", PELMOR_SETTING_MAXBUFSIZE, 0,    1,  0,    0,    0,  2147483647, TYPLONG,   "0",                      {},     {},   "max. Bufferdateigroesse"},
}};
// clang-format on

constexpr bool PelmorSettingsInOrder() {
    for (int32_t index = 0; index < PELMOR_SETTINGS_COUNT; ++index) {
        if (PELMOR_SETTINGS_ROWS.rows[index].tokenId != index) {
            return false;
        }
    }
    return true;
}
static_assert(PelmorSettingsInOrder(), "every setting's row stands at its token id");

PelmorSettingsTable pelmorSettings = PELMOR_SETTINGS_ROWS;

} // namespace

ParameterDescriptor (&PelmorSettings)[PELMOR_SETTINGS_COUNT] = pelmorSettings.rows;

void PelmorSettingText(int32_t index, char* field, size_t capacity) {
    if (capacity == 0) {
        return;
    }
    const char* text = PelmorSettings[index].value.textValue;
    size_t length = 0;
    while (length + 1 < capacity && length < sizeof(ParameterValue::textValue) &&
           text[length] != '\0') {
        field[length] = text[length];
        length++;
    }
    field[length] = '\0';
}

namespace {

// 1 when name is one of the shipper's files of the buffer file.
int PelmorIsShipperFile(const char* name, const char* bufferFileName) {
    constexpr size_t nameMax = sizeof(ParameterValue::textValue) + sizeof PELMOR_LOG_OLD_SUFFIX;
    char path[nameMax + sizeof PELMOR_SHIP_LIVE_TEMP_SUFFIX]; // the longest suffix
    static const char* const suffixes[] = {PELMOR_SHIP_STATE_SUFFIX, PELMOR_SHIP_LOCK_SUFFIX,
                                           PELMOR_SHIP_LIVE_SUFFIX, PELMOR_SHIP_LIVE_TEMP_SUFFIX};
    for (const char* suffix : suffixes) {
        const int length = std::snprintf(path, sizeof path, "%s%s", bufferFileName, suffix);
        if (length > 0 && static_cast<size_t>(length) < sizeof path && ShareSameFile(name, path)) {
            return 1;
        }
    }
    // NAME.<digits>: a taken-over file when NAME is the buffer file.
    const size_t length = std::strlen(name);
    const size_t digits = static_cast<size_t>(PELMOR_SHIP_GENERATION_DIGITS);
    if (length <= digits + 1 || length >= sizeof path || name[length - digits - 1] != '.') {
        return 0;
    }
    for (size_t i = length - digits; i < length; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
    }
    std::memcpy(path, name, length - digits - 1);
    path[length - digits - 1] = '\0';
    return ShareSameFile(path, bufferFileName);
}

} // namespace

int PelmorLogMeetsShipper(const char* logFileName, const char* bufferFileName) {
    char oldName[sizeof(ParameterValue::textValue) + sizeof PELMOR_LOG_OLD_SUFFIX];
    const int length =
        std::snprintf(oldName, sizeof oldName, "%s%s", logFileName, PELMOR_LOG_OLD_SUFFIX);
    if (logFileName[0] == '\0' || bufferFileName[0] == '\0') {
        return 0;
    }
    return PelmorIsShipperFile(logFileName, bufferFileName) ||
           (length > 0 && static_cast<size_t>(length) < sizeof oldName &&
            PelmorIsShipperFile(oldName, bufferFileName));
}

int32_t PelmorPortOfText(const char* text) {
    constexpr int64_t portMax = 65535;
    int64_t port = 0;
    if (!DecimalParseText(text, sizeof(ParameterValue::textValue), portMax, &port)) {
        return 0;
    }
    return static_cast<int32_t>(port);
}

int PelmorLogMeetsBuffer(const char* logFileName, const char* bufferFileName) {
    char oldName[sizeof(ParameterValue::textValue) + sizeof PELMOR_LOG_OLD_SUFFIX];
    const int length =
        std::snprintf(oldName, sizeof oldName, "%s%s", logFileName, PELMOR_LOG_OLD_SUFFIX);
    if (logFileName[0] == '\0' || bufferFileName[0] == '\0') {
        return 0; // no file: the log and the session say so themselves
    }
    return ShareSameFile(logFileName, bufferFileName) ||
           (length > 0 && static_cast<size_t>(length) < sizeof oldName &&
            ShareSameFile(oldName, bufferFileName));
}
