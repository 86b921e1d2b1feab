#include "receiver/settings.h"

#include <cstdio>

#include "platform/share.h"

// found, optional, onError and valid start at 0, content and value empty: the
// receiver reads with KEYINI_READ alone, so a key that is absent or invalid
// keeps the empty text or 0. SYNC and MAXBUFSIZE are optional: without them,
// or with an invalid value, they are FALSE and 0 (no bound), and the
// receiver does what it always did.
ParameterDescriptor PelmorSettings[PELMOR_SETTINGS_COUNT] = {
    {"PELMOR", "UPLPORT", 0, 0, 0, 0, 0, 1, 5, TYPSTRING, "6664", {}, {}, "UPL-Empfangs-Port"},
    {"PELMOR",
     "BUFFDATEI",
     1,
     0,
     0,
     0,
     0,
     1,
     50,
     TYPSTRING,
     "PELMOR.BUF",
     {},
     {},
     "PELMOR-Bufferdatei"},
    {"PELMOR",
     "LOGDATEI",
     2,
     0,
     0,
     0,
     0,
     1,
     50,
     TYPSTRING,
     "PELMOR.LOG",
     {},
     {},
     "PELMOR-Logdatei"},
    {"PELMOR",
     "MAXLOGSIZE",
     3,
     0,
     0,
     0,
     0,
     1,
     10000,
     TYPINT,
     "2000",
     {},
     {},
     "max. Logdateigroesse"},
    {"PELMOR", "ERRLEVEL", 4, 0, 0, 0, 0, 0, 10000, TYPINT, "1000", {}, {}, "ErrorLoglevel"},
    {"PELMOR", "TIMEOUT", 5, 0, 0, 0, 0, 0, 1000, TYPINT, "3", {}, {}, "Receive-TimeOut"},
    {"PELMOR",
     "SYNC",
     6,
     0,
     1,
     0,
     0,
     0,
     0,
     TYPBOOL,
     "FALSE",
     {},
     {},
     "Satz vor Quittung auf Platte"},
    {"PELMOR",
     "MAXBUFSIZE",
     7,
     0,
     1,
     0,
     0,
     0,
     2147483647,
     TYPLONG,
     "0",
     {},
     {},
     "max. Bufferdateigroesse"},
};

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

int32_t PelmorPortOfText(const char* text) {
    constexpr int32_t portMax = 65535;
    int32_t port = 0;
    for (size_t i = 0; i < sizeof(ParameterValue::textValue) && text[i] != '\0'; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        port = port * 10 + (text[i] - '0');
        if (port > portMax) {
            return 0;
        }
    }
    return port;
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
