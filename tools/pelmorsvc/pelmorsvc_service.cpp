// The service: pelmor.exe started, watched and stopped for the service
// control manager. One receiver, one service: the states follow the
// receiver's, and every end that was not asked for is a failure the
// recovery actions answer.
#include <cstdio>
#include <cstring>

#include "pelmorsvc.h"
#include "protocol/names.h"
#include "receiver/settings.h"
#include "control/receiver_control.h"

namespace {

constexpr DWORD SVC_POLL_MS = 100;
constexpr DWORD SVC_REPORT_MS = 1000;
constexpr DWORD SVC_WAIT_HINT_MS = 3000;
// The receiver opens its log and listening socket in well under a second;
// a minute means something hangs.
constexpr ULONGLONG SVC_START_BOUND_MS = 60000;
// A stop waits for a silent client's read time-out, TIMEOUT seconds, and
// this margin; with TIMEOUT 0 (no time-out) or unknown, the fixed bound.
constexpr ULONGLONG SVC_STOP_MARGIN_MS = 10000;
constexpr ULONGLONG SVC_STOP_BOUND_MS = 30000;
constexpr DWORD SVC_KILL_WAIT_MS = 5000;
constexpr DWORD SVC_OUTPUT_WAIT_MS = 2000;

struct SvcReceiver {
    char program[MAX_PATH];       // pelmor.exe beside this program
    char parameterPath[MAX_PATH]; // full path, as pelmor.exe gets it
    char folder[MAX_PATH];        // its working directory: the parameter file's folder
    char logFile[MAX_PATH];       // LOGDATEI as a full path, empty when the file was not read
    ULONGLONG logSizeAtStart;     // where this start's log entries begin
    char readFailure[200];        // why the parameter file was not read, else empty
    ULONGLONG stopBoundMs;
    PROCESS_INFORMATION process;
};

SERVICE_STATUS_HANDLE SvcStatusHandle = nullptr;
SERVICE_STATUS SvcStatus{};
// Set by the control handler when the service is to stop.
HANDLE SvcStopRequest = nullptr;
char SvcName[257] = "";

// pelmor.exe's standard output and error, drained all its life so it never
// blocks on them; the first bytes are kept for the event log (its start-up
// messages). Read only once the reader has ended.
char SvcOutput[512];
DWORD SvcOutputLength = 0;
HANDLE SvcOutputPipe = nullptr;
HANDLE SvcOutputReader = nullptr;

void SvcSetStatus(DWORD state, DWORD exitCode) {
    SvcStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    SvcStatus.dwCurrentState = state;
    SvcStatus.dwControlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_RUNNING
                                       ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                       : 0;
    SvcStatus.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    SvcStatus.dwServiceSpecificExitCode = exitCode;
    const int pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SvcStatus.dwCheckPoint = pending ? SvcStatus.dwCheckPoint + 1 : 0;
    SvcStatus.dwWaitHint = pending ? SVC_WAIT_HINT_MS : 0;
    SetServiceStatus(SvcStatusHandle, &SvcStatus);
}

DWORD WINAPI SvcControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetEvent(SvcStopRequest);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

DWORD WINAPI SvcReadOutput(LPVOID) {
    char chunk[256];
    DWORD got = 0;
    while (ReadFile(SvcOutputPipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        DWORD room = static_cast<DWORD>(sizeof SvcOutput) - 1 - SvcOutputLength;
        DWORD take = got < room ? got : room;
        std::memcpy(SvcOutput + SvcOutputLength, chunk, take);
        SvcOutputLength += take;
    }
    return 0;
}

// Text from another process or a file made fit for the event log: printable
// ASCII and line ends only, terminated after length bytes.
void SvcPrintable(char* text, DWORD length) {
    for (DWORD at = 0; at < length; ++at) {
        char& c = text[at];
        if ((c < ' ' || c > '~') && c != '\n' && c != '\r') {
            c = '?';
        }
    }
    text[length] = '\0';
}

// What pelmor.exe wrote; empty when the reader has not ended.
const char* SvcOutputText() {
    if (SvcOutputReader == nullptr ||
        WaitForSingleObject(SvcOutputReader, SVC_OUTPUT_WAIT_MS) != WAIT_OBJECT_0) {
        return "";
    }
    SvcPrintable(SvcOutput, SvcOutputLength);
    return SvcOutput;
}

// The size of a file, 0 when it cannot be told (say, it does not exist yet).
ULONGLONG SvcFileSize(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// What the receiver logged since it was started, its last bytes when that is
// more than text holds; from the beginning when the log was begun anew. An
// empty text when there is nothing or the log cannot be read.
void SvcLogNews(const SvcReceiver* receiver, char* text, DWORD capacity) {
    text[0] = '\0';
    if (receiver->logFile[0] == '\0') {
        return;
    }
    HANDLE log = CreateFileA(receiver->logFile, GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(log, &size) && size.QuadPart > 0) {
        const ULONGLONG end = static_cast<ULONGLONG>(size.QuadPart);
        ULONGLONG from = end >= receiver->logSizeAtStart ? receiver->logSizeAtStart : 0;
        if (end - from > capacity - 1) {
            from = end - (capacity - 1);
        }
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(from);
        DWORD got = 0;
        if (SetFilePointerEx(log, at, nullptr, FILE_BEGIN) &&
            ReadFile(log, text, static_cast<DWORD>(end - from), &got, nullptr)) {
            SvcPrintable(text, got);
        }
    }
    CloseHandle(log);
}

// Paths and settings from the command line and the parameter file, read
// with the receiver's own table as pelmor.exe will read it. A relative
// parameter file is taken from this program's folder (a service starts in
// the system folder). 0 when a path does not fit.
int SvcPrepare(SvcReceiver* receiver) {
    if (!PelmorsvcProgramFolder(receiver->folder, sizeof receiver->folder) ||
        !SetCurrentDirectoryA(receiver->folder)) {
        return 0;
    }
    std::snprintf(receiver->program, sizeof receiver->program, "%spelmor.exe", receiver->folder);
    const char* given = PelmorsvcArguments(GetCommandLineA());
    if (given[0] == '\0') {
        given = PELMOR_DEFAULT_PARAMETER_FILE;
    }
    char* name = nullptr;
    DWORD length =
        GetFullPathNameA(given, sizeof receiver->parameterPath, receiver->parameterPath, &name);
    if (length == 0 || length >= sizeof receiver->parameterPath || name == nullptr) {
        return 0;
    }
    std::snprintf(receiver->folder, sizeof receiver->folder, "%.*s",
                  static_cast<int>(name - receiver->parameterPath), receiver->parameterPath);

    receiver->stopBoundMs = SVC_STOP_BOUND_MS;
    int32_t resultCode = 0;
    int32_t position = 0;
    if (ReadKeyIni(receiver->parameterPath, KEYINI_READ, PelmorSettings, PELMOR_SETTINGS_COUNT,
                   &resultCode, &position) == 0) {
        std::snprintf(receiver->readFailure, sizeof receiver->readFailure,
                      "Parameterdatei nicht gelesen (Fehler %d, Zeile %d)\r\n",
                      static_cast<int>(resultCode), static_cast<int>(position));
        return 1;
    }
    // The log's name is relative to the receiver's working directory.
    char logName[MAX_PATH];
    PelmorSettingText(PELMOR_SETTING_LOGDATEI, logName, sizeof logName);
    length = logName[0] == '\0' || !SetCurrentDirectoryA(receiver->folder)
                 ? 0
                 : GetFullPathNameA(logName, sizeof receiver->logFile, receiver->logFile, nullptr);
    if (length == 0 || length >= sizeof receiver->logFile) {
        receiver->logFile[0] = '\0';
    }
    receiver->logSizeAtStart = SvcFileSize(receiver->logFile);
    int32_t timeout = PelmorSettings[PELMOR_SETTING_TIMEOUT].value.intValue;
    if (timeout > 0) {
        receiver->stopBoundMs = static_cast<ULONGLONG>(timeout) * 1000 + SVC_STOP_MARGIN_MS;
    }
    return 1;
}

// pelmor.exe started in the parameter file's folder, its output into the
// pipe the reader drains. 1, or 0 with the reason in the event log.
int SvcStartReceiver(SvcReceiver* receiver) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&SvcOutputPipe, &writeEnd, &inherited, 0)) {
        PelmorsvcReport(EVENTLOG_ERROR_TYPE, "Dienst %s: keine Pipe fuer pelmor.exe (Fehler %lu)",
                        SvcName, GetLastError());
        return 0;
    }
    SetHandleInformation(SvcOutputPipe, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    // The program quoted, the parameter file unquoted as the whole rest.
    char commandLine[2 * MAX_PATH + 4];
    std::snprintf(commandLine, sizeof commandLine, "\"%s\" %s", receiver->program,
                  receiver->parameterPath);
    BOOL started = CreateProcessA(receiver->program, commandLine, nullptr, nullptr, TRUE, 0,
                                  nullptr, receiver->folder, &startup, &receiver->process);
    DWORD error = GetLastError();
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (!started) {
        PelmorsvcReport(EVENTLOG_ERROR_TYPE, "Dienst %s: %s nicht gestartet (Fehler %lu)", SvcName,
                        receiver->program, error);
        return 0;
    }
    CloseHandle(receiver->process.hThread);
    SvcOutputReader = CreateThread(nullptr, 0, SvcReadOutput, nullptr, 0, nullptr);
    return 1;
}

// The event log entry for an end nobody asked for: what pelmor.exe wrote,
// and where to look.
void SvcReportEnd(const SvcReceiver* receiver, const char* what) {
    DWORD code = 0;
    GetExitCodeProcess(receiver->process.hProcess, &code);
    DWORD error = 0;
    const char* other =
        ReceiverRunning(&error) == 1
            ? "Ein anderer Empfaenger laeuft (Mutex belegt); es laeuft nur einer zugleich.\r\n"
            : "";
    const char* output = SvcOutputText();
    char news[1024];
    SvcLogNews(receiver, news, sizeof news);
    char logLine[MAX_PATH + 80] = "";
    if (receiver->logFile[0] != '\0') {
        std::snprintf(logLine, sizeof logLine, "Log des Empfaengers: %s%s\r\n", receiver->logFile,
                      news[0] != '\0' ? ", neu darin:" : " (nichts Neues darin)");
    }
    PelmorsvcReport(EVENTLOG_ERROR_TYPE,
                    "Dienst %s: der Empfaenger pelmor.exe %s (Exitcode %lu).\r\n%s%s%s%s%s%s"
                    "Parameterdatei: %s",
                    SvcName, what, static_cast<unsigned long>(code), other,
                    output[0] != '\0' ? "Ausgabe von pelmor.exe:\r\n" : "", output,
                    receiver->readFailure, logLine, news, receiver->parameterPath);
}

// Asks pelmor.exe to stop as "pelmorctl stop" does and waits for its end;
// past the bound it is ended, and the event log says so.
void SvcStop(const SvcReceiver* receiver) {
    SvcSetStatus(SERVICE_STOP_PENDING, 0);
    HANDLE process = receiver->process.hProcess;
    HANDLE stop = ReceiverStopEventOpen();
    if (stop == nullptr) {
        PelmorsvcReport(EVENTLOG_WARNING_TYPE, "Dienst %s: %s nicht geoeffnet (Fehler %lu)",
                        SvcName, PELMOR_STOP_EVENT_NAME, GetLastError());
    }
    const ULONGLONG begun = GetTickCount64();
    ULONGLONG reported = begun;
    int ended = 0;
    while (stop != nullptr) {
        ReceiverStopAsk(stop);
        ended = WaitForSingleObject(process, SVC_POLL_MS) == WAIT_OBJECT_0;
        const ULONGLONG now = GetTickCount64();
        if (ended || now - begun >= receiver->stopBoundMs) {
            break;
        }
        if (now - reported >= SVC_REPORT_MS) {
            SvcSetStatus(SERVICE_STOP_PENDING, 0);
            reported = now;
        }
    }
    if (stop != nullptr) {
        CloseHandle(stop);
    }
    if (!ended) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, SVC_KILL_WAIT_MS);
        PelmorsvcReport(EVENTLOG_WARNING_TYPE,
                        "Dienst %s: pelmor.exe nach %llu s nicht beendet, daher abgebrochen "
                        "(TerminateProcess).",
                        SvcName, receiver->stopBoundMs / 1000);
    }
}

// From start to stop: the service's exit code, 0 when it stopped as asked.
DWORD SvcRun() {
    SvcReceiver receiver{};
    if (!SvcPrepare(&receiver)) {
        PelmorsvcReport(EVENTLOG_ERROR_TYPE,
                        "Dienst %s: Pfad der Parameterdatei oder von pelmor.exe zu lang oder "
                        "ungueltig: %s",
                        SvcName, PelmorsvcArguments(GetCommandLineA()));
        return PELMORSVC_EXIT_NOT_STARTED;
    }
    DWORD error = 0;
    if (ReceiverRunning(&error) == 1) {
        PelmorsvcReport(EVENTLOG_ERROR_TYPE,
                        "Dienst %s: ein anderer Empfaenger laeuft schon (Mutex %s belegt); es "
                        "laeuft nur einer zugleich. pelmorctl status zeigt ihn, pelmorctl stop "
                        "haelt ihn an.",
                        SvcName, PELMOR_MUTEX_NAME);
        return PELMORSVC_EXIT_OTHER_RECEIVER;
    }
    if (!SvcStartReceiver(&receiver)) {
        return PELMORSVC_EXIT_NOT_STARTED;
    }
    HANDLE waits[2] = {receiver.process.hProcess, SvcStopRequest};
    DWORD exitCode = 0;
    const ULONGLONG begun = GetTickCount64();
    ULONGLONG reported = begun;
    int running = 0;
    for (;;) {
        DWORD which = WaitForMultipleObjects(2, waits, FALSE, running ? INFINITE : SVC_POLL_MS);
        if (which == WAIT_OBJECT_0 + 1) {
            SvcStop(&receiver);
            break;
        }
        if (which != WAIT_TIMEOUT) {
            // Ended on its own; should the wait have failed, it is ended.
            if (which != WAIT_OBJECT_0) {
                SvcStop(&receiver);
            }
            SvcReportEnd(&receiver, running ? "endete im Betrieb von selbst"
                                            : "endete beim Start, bevor er bereit war");
            exitCode = running ? PELMORSVC_EXIT_ENDED : PELMORSVC_EXIT_NOT_READY;
            break;
        }
        if (ReceiverEventState(PELMOR_START_EVENT_NAME) == 1) {
            running = 1;
            SvcSetStatus(SERVICE_RUNNING, 0);
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        if (now - begun >= SVC_START_BOUND_MS) {
            SvcStop(&receiver);
            PelmorsvcReport(EVENTLOG_ERROR_TYPE,
                            "Dienst %s: pelmor.exe nach %llu s nicht bereit (StartPelmorEvent "
                            "nicht gesetzt), daher angehalten. Parameterdatei: %s",
                            SvcName, SVC_START_BOUND_MS / 1000, receiver.parameterPath);
            exitCode = PELMORSVC_EXIT_START_TIMEOUT;
            break;
        }
        if (now - reported >= SVC_REPORT_MS) {
            SvcSetStatus(SERVICE_START_PENDING, 0);
            reported = now;
        }
    }
    CloseHandle(receiver.process.hProcess);
    if (SvcOutputReader != nullptr) {
        WaitForSingleObject(SvcOutputReader, SVC_OUTPUT_WAIT_MS);
        CloseHandle(SvcOutputReader);
    }
    CloseHandle(SvcOutputPipe);
    return exitCode;
}

void WINAPI SvcMain(DWORD argc, LPSTR* argv) {
    std::snprintf(SvcName, sizeof SvcName, "%s", argc > 0 && argv[0] != nullptr ? argv[0] : "");
    // Made before the handler can be called, so no stop request is lost.
    SvcStopRequest = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SvcStatusHandle = RegisterServiceCtrlHandlerExA(SvcName, SvcControl, nullptr);
    if (SvcStatusHandle == nullptr) {
        return;
    }
    SvcSetStatus(SERVICE_START_PENDING, 0);
    // Also for a service made with "sc create": its entries readable by name.
    PelmorsvcRegisterEventSource();
    DWORD exitCode = SvcStopRequest != nullptr ? SvcRun() : PELMORSVC_EXIT_NOT_STARTED;
    SvcSetStatus(SERVICE_STOPPED, exitCode);
}

} // namespace

int PelmorsvcRunService(void) {
    char any[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{any, SvcMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        return GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? PELMORSVC_USAGE
                                                                         : PELMORSVC_FAILED;
    }
    return PELMORSVC_OK;
}
