// Start-up: settings from the parameter file, the log, the listening socket,
// the local address and the two named events.
#include <cstdio>

#include "counting.h"
#include "lifecycle.h"
#include "log.h"
#include "platform/kernel_objects.h"
#include "platform/share.h"
#include "protocol/names.h"
#include "readiness.h"
#include "receiver/settings.h"
#include "records.h"

namespace {

constexpr int32_t PELMOR_REASON_SIZE = 128;
constexpr char PELMOR_LOCK_SUFFIX[] = ".lock";

// The context takes the values as read: an absent or invalid key gives the
// empty text or 0, never the table's default.
void PelmorTakeSettings(ReceiverContext* context) {
    context->timeout = PelmorSettings[PELMOR_SETTING_TIMEOUT].value.intValue;
    context->logLevel = PelmorSettings[PELMOR_SETTING_ERRLEVEL].value.intValue;
    context->maxLogSize = PelmorSettings[PELMOR_SETTING_MAXLOGSIZE].value.intValue;
    context->syncRecords = PelmorSettings[PELMOR_SETTING_SYNC].value.intValue;
    const int32_t maxBufferKilobytes = PelmorSettings[PELMOR_SETTING_MAXBUFSIZE].value.longValue;
    context->maxBufferBytes =
        maxBufferKilobytes > 0 ? static_cast<int64_t>(maxBufferKilobytes) * 1024 : 0;
    PelmorSettingText(PELMOR_SETTING_UPLPORT, context->portText, sizeof context->portText);
    PelmorSettingText(PELMOR_SETTING_BUFFDATEI, context->bufferFileName,
                      sizeof context->bufferFileName);
    PelmorSettingText(PELMOR_SETTING_LOGDATEI, context->logFileName, sizeof context->logFileName);
    context->port = PelmorPortOfText(context->portText);
}

// Two receivers never append to one buffer file (an absolute BUFFDATEI in a
// shared parameter file would make them): each holds a file beside it for
// its life, named as the buffer file with "." before and ".lock" after, so
// that no consumer's "BUFFDATEI.*" takes it for a renamed buffer file. That
// name stays while consumers rename the buffer file away. 1 held, else 0
// and said why.
int PelmorHoldBufferFile(const ReceiverContext* context) {
    if (context->bufferFileName[0] == '\0') {
        return 1; // no buffer file: every session fails to open it and says so
    }
    // The last name starts after the last separator of either system.
    const char* name = context->bufferFileName;
    for (const char* at = context->bufferFileName; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') {
            name = at + 1;
        }
    }
    char lockName[sizeof context->bufferFileName + sizeof PELMOR_LOCK_SUFFIX + 1];
    std::snprintf(lockName, sizeof lockName, "%.*s.%s%s",
                  static_cast<int>(name - context->bufferFileName), context->bufferFileName, name,
                  PELMOR_LOCK_SUFFIX);
    const int held = ShareHoldForLife(lockName);
    if (held == 1) {
        return 1;
    }
    if (held == 0) {
        PelmorLog("PelmorInit()", PELMOR_LOG_FAILURE, 0, 0, context->bufferFileName,
                  "Fehler: Bufferdatei schreibt schon ein anderer Empfaenger!");
        std::fprintf(stderr,
                     "pelmor: Bufferdatei \"%s\" schreibt schon ein anderer Empfaenger (%s)\n",
                     context->bufferFileName, lockName);
        return 0;
    }
    PelmorLog("PelmorInit()", PELMOR_LOG_FAILURE, 0, 0, lockName,
              "Fehler: Sperrdatei der Bufferdatei nicht geoeffnet!");
    std::fprintf(stderr, "pelmor: Sperrdatei \"%s\" nicht geoeffnet\n", lockName);
    return 0;
}

HANDLE PelmorCreateEvent(const char* name, BOOL signalled) {
    HANDLE event = CreateEventA(nullptr, TRUE, signalled, name);
    if (event == nullptr) {
        std::fprintf(stderr, "pelmor: Ereignis %s nicht erzeugt (Fehler %lu)\n", name,
                     static_cast<unsigned long>(GetLastError()));
    }
    return event;
}

} // namespace

int PelmorInit(const char* commandLine, ReceiverContext* context) {
    const char* path = commandLine[0] != '\0' ? commandLine : PELMOR_DEFAULT_PARAMETER_FILE;
    int32_t resultCode = 0;
    int32_t position = 0;
    if (ReadKeyIni(path, KEYINI_READ, PelmorSettings, PELMOR_SETTINGS_COUNT, &resultCode,
                   &position) == 0) {
        std::fprintf(stderr, "pelmor: Parameterdatei %s nicht gelesen (Fehler %d, Zeile %d)\n",
                     path, static_cast<int>(resultCode), static_cast<int>(position));
        return 0;
    }
    PelmorTakeSettings(context);

    // Said before the log starts, as the log may be the very file.
    if (PelmorLogMeetsBuffer(context->logFileName, context->bufferFileName)) {
        std::fprintf(stderr, "pelmor: Logdatei \"%s\" ist die Bufferdatei \"%s\" oder deren .old\n",
                     context->logFileName, context->bufferFileName);
        return 0;
    }
    if (PelmorLogMeetsShipper(context->logFileName, context->bufferFileName)) {
        std::fprintf(stderr,
                     "pelmor: Logdatei \"%s\" ist eine Datei von pelmor-ship neben \"%s\"\n",
                     context->logFileName, context->bufferFileName);
        return 0;
    }
    if (CLogInit(context->logFileName, context->logLevel, context->maxLogSize) == 0) {
        std::fprintf(stderr, "pelmor: Logdatei \"%s\" nicht gestartet\n", context->logFileName);
        return 0;
    }
    // Port 0 would let the system pick one that no client knows.
    if (context->port == 0) {
        PelmorLog("PelmorInit()", PELMOR_LOG_FAILURE, 0, 0, "",
                  "Fehler: UPLPORT \"%s\" ist kein Port von 1 bis 65535!", context->portText);
        std::fprintf(stderr, "pelmor: UPLPORT \"%s\" ist kein Port von 1 bis 65535\n",
                     context->portText);
        return 0;
    }
    if (PelmorHoldBufferFile(context) == 0) {
        return 0;
    }
    // A socket a service manager passed may listen on another port than
    // UPLPORT: context->port becomes the socket's, so records carry the port
    // their clients came to.
    int32_t result = CSocketServerInit(&context->listenSocket, context->port, &context->port);
    if (result != 0) {
        // Also where the log cannot be read: a service manager keeps standard error.
        char why[PELMOR_REASON_SIZE];
        int32_t number = 0;
        CGetLastErrorString(&number, why, sizeof why);
        PelmorLogLibraryFailure("PelmorInit()", result, "Fehler: Fkt. CSocketServerInit()!");
        std::fprintf(stderr, "pelmor: Port %s nicht geoeffnet (Fehler %ld): %s\n",
                     context->portText, static_cast<long>(result), why);
        return 0;
    }
    result = CGetLocalIPString(context->localIP, sizeof context->localIP);
    if (result != 0) {
        PelmorLogLibraryFailure("PelmorInit()", result, "Fehler: Fkt. CGetLocalIPString()!");
        context->localIP[0] = '\0'; // records then carry blanks, never a half-written text
    } else {
        FormatIPString(context->localIP);
    }
    FormatRecordPrefix(context);

    PelmorStopEvent = PelmorCreateEvent(PELMOR_STOP_EVENT_NAME, TRUE);
    if (PelmorStopEvent == nullptr) {
        return 0;
    }
    PelmorKeepStopRequest();
    // Without its counters the receiver still serves; pelmorctl then shows none.
    if (PelmorCountersOpen() == 0) {
        std::fprintf(stderr, "pelmor: Zaehler %s nicht erzeugt (Fehler %lu)\n",
                     PELMOR_COUNTERS_NAME, static_cast<unsigned long>(GetLastError()));
    }
    PelmorStartEvent = PelmorCreateEvent(PELMOR_START_EVENT_NAME, FALSE);
    if (PelmorStartEvent == nullptr) {
        return 0;
    }
    SetEvent(PelmorStartEvent);
    PelmorTellReady(context);
    return 1;
}
