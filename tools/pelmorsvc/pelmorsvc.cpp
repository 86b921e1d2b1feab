// pelmorsvc: runs pelmor.exe as a Windows service; sets up and removes such
// a service for people.
#include "pelmorsvc.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/usage.h"
#include "pelmorsvc_messages.h"

namespace {

// The failure actions "install" sets: restart after 5 s, for every failure
// (the last action repeats), the count forgotten after a day without one.
constexpr DWORD PELMORSVC_RESTART_DELAY_MS = 5000;
constexpr DWORD PELMORSVC_RESET_PERIOD_S = 86400;
// How long "remove" waits for a running service to stop.
constexpr DWORD PELMORSVC_REMOVE_WAIT_MS = 60000;
constexpr DWORD PELMORSVC_POLL_MS = 200;
constexpr DWORD PELMORSVC_TEXT_MAX = 4096;

const char* const PELMORSVC_EVENTLOG_KEY =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

void PelmorsvcUsage() {
    std::fputs("Aufruf: pelmorsvc install NAME PARAMETERDATEI\n"
               "        pelmorsvc remove NAME\n"
               "        pelmorsvc --help | --version\n"
               "\n"
               "Fuehrt den Empfaenger pelmor.exe als Windows-Dienst aus. pelmor.exe liegt\n"
               "im selben Ordner wie pelmorsvc.exe.\n"
               "\n"
               "Als Dienst eingetragen (von install oder mit\n"
               "  sc create NAME binPath= \"C:\\PELMOR\\pelmorsvc.exe C:\\PELMOR\\PELMOR.INI\" "
               "start= auto)\n"
               "startet pelmorsvc.exe pelmor.exe mit dem Pfad der Parameterdatei, im Ordner\n"
               "der Parameterdatei, und meldet den Dienst erst als gestartet, wenn\n"
               "StartPelmorEvent gesetzt ist. Anhalten (sc stop, net stop, Herunterfahren)\n"
               "bittet den Empfaenger wie \"pelmorctl stop\" ueber StopPelmorEvent zu enden;\n"
               "endet er nicht in TIMEOUT + 10 Sekunden (TIMEOUT 0: 30 Sekunden), wird er\n"
               "beendet. Fehler stehen im Ereignisprotokoll \"Anwendung\", Quelle PELMOR.\n"
               "\n"
               "Dienst-Exitcodes (sc query: SERVICE_EXIT_CODE):\n"
               "  0  angehalten wie verlangt\n"
               "  1  pelmor.exe endete beim Start, bevor er bereit war\n"
               "  2  pelmor.exe endete im Betrieb von selbst\n"
               "  3  pelmor.exe nicht startbar\n"
               "  4  pelmor.exe nach 60 Sekunden nicht bereit\n"
               "  5  ein anderer Empfaenger laeuft schon\n"
               "\n"
               "Befehle (als Administrator):\n"
               "  install NAME PARAMETERDATEI  richtet den Dienst NAME ein: Start mit Windows,\n"
               "                               nach jedem Ausfall Neustart nach 5 Sekunden\n"
               "  remove NAME                  haelt den Dienst NAME an und entfernt ihn\n"
               "  --help                       diese Hilfe\n"
               "  --version                    zeigt die Version\n"
               "\n"
               "Ende 0: erledigt, 1: fehlgeschlagen, 2: falscher Aufruf.\n",
               stdout);
}

int PelmorsvcWrongCall(const char* why) {
    std::fprintf(stderr,
                 "pelmorsvc: %s\n"
                 "Aufruf: pelmorsvc install NAME PARAMETERDATEI | remove NAME | --help | "
                 "--version\n",
                 why);
    return PELMORSVC_USAGE;
}

// "pelmorsvc: Dienst NAME: WHAT (Fehler N)" on standard error.
int PelmorsvcFailed(const char* name, const char* what, DWORD error) {
    std::fprintf(stderr, "pelmorsvc: Dienst %s: %s (Fehler %lu)\n", name, what,
                 static_cast<unsigned long>(error));
    if (error == ERROR_ACCESS_DENIED) {
        std::fputs("pelmorsvc: als Administrator aufrufen\n", stderr);
    }
    return PELMORSVC_FAILED;
}

int PelmorsvcIsFile(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The recovery actions: a restart after every failure. A stop with an exit
// code other than 0 counts as a failure too, not only a crash of the
// service's process; that is how the service reports pelmor.exe's end.
int PelmorsvcSetRecovery(SC_HANDLE service, const char* name) {
    SC_ACTION restart{SC_ACTION_RESTART, PELMORSVC_RESTART_DELAY_MS};
    SERVICE_FAILURE_ACTIONSA actions{};
    actions.dwResetPeriod = PELMORSVC_RESET_PERIOD_S;
    actions.cActions = 1;
    actions.lpsaActions = &restart;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
        return PelmorsvcFailed(name, "Wiederherstellung nicht gesetzt", GetLastError());
    }
    // Windows before Vista (and Wine) know no such flag: the service still
    // runs, restarted then only after a crash of its own process.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
        std::fprintf(stderr,
                     "pelmorsvc: Hinweis: Neustart bei Exitcode ungleich 0 nicht gesetzt "
                     "(Fehler %lu); von Hand: sc failureflag %s 1\n",
                     static_cast<unsigned long>(GetLastError()), name);
    }
    return PELMORSVC_OK;
}

int PelmorsvcInstall(const char* name, const char* parameterFile) {
    char program[MAX_PATH];
    char receiver[MAX_PATH];
    char folder[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program || !PelmorsvcProgramFolder(folder, sizeof folder)) {
        return PelmorsvcFailed(name, "eigener Pfad nicht ermittelt", GetLastError());
    }
    std::snprintf(receiver, sizeof receiver, "%spelmor.exe", folder);
    if (!PelmorsvcIsFile(receiver)) {
        std::fprintf(stderr, "pelmorsvc: %s fehlt; pelmor.exe gehoert neben pelmorsvc.exe\n",
                     receiver);
        return PELMORSVC_FAILED;
    }
    char parameterPath[MAX_PATH];
    length = GetFullPathNameA(parameterFile, sizeof parameterPath, parameterPath, nullptr);
    if (length == 0 || length >= sizeof parameterPath || !PelmorsvcIsFile(parameterPath)) {
        std::fprintf(stderr, "pelmorsvc: Parameterdatei %s nicht gefunden\n", parameterFile);
        return PELMORSVC_FAILED;
    }
    // The program quoted, the parameter file as pelmor.exe takes it: the
    // whole rest of the line, unquoted.
    char binaryPath[2 * MAX_PATH + 4];
    std::snprintf(binaryPath, sizeof binaryPath, "\"%s\" %s", program, parameterPath);
    char displayName[300];
    std::snprintf(displayName, sizeof displayName, "PELMOR-Empfaenger %s", name);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        return PelmorsvcFailed(name, "Dienststeuerung nicht geoeffnet", GetLastError());
    }
    SC_HANDLE service =
        CreateServiceA(manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr,
                       nullptr, nullptr, nullptr);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return PelmorsvcFailed(
            name, error == ERROR_SERVICE_EXISTS ? "gibt es schon" : "nicht eingerichtet", error);
    }
    char description[MAX_PATH + 80];
    std::snprintf(description, sizeof description,
                  "Nimmt Nachrichten ueber TCP an (pelmor.exe, Parameterdatei %s)", parameterPath);
    SERVICE_DESCRIPTIONA text{description};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
    int result = PelmorsvcSetRecovery(service, name);
    if (result != PELMORSVC_OK) {
        // Half a service is none: without its recovery it goes again.
        DeleteService(service);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (result != PELMORSVC_OK) {
        return result;
    }
    LONG registered = PelmorsvcRegisterEventSource();
    if (registered != ERROR_SUCCESS) {
        std::fprintf(stderr,
                     "pelmorsvc: Hinweis: Ereignisquelle PELMOR nicht eingetragen (Fehler %ld); "
                     "der Dienst traegt sie beim Start ein\n",
                     static_cast<long>(registered));
    }
    std::printf("Dienst %s eingerichtet: startet mit Windows, nach jedem Ausfall neu nach 5 "
                "Sekunden.\nParameterdatei: %s\nStarten: sc start %s\n",
                name, parameterPath, name);
    return PELMORSVC_OK;
}

// Whether the service runs this program: only a PELMOR service is removed.
int PelmorsvcIsOurs(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    alignas(QUERY_SERVICE_CONFIGA) static char buffer[8192];
    if (needed == 0 || needed > sizeof buffer) {
        return 0;
    }
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    if (!QueryServiceConfigA(service, config, sizeof buffer, &needed) ||
        config->lpBinaryPathName == nullptr) {
        return 0;
    }
    char path[MAX_PATH * 2];
    std::snprintf(path, sizeof path, "%s", config->lpBinaryPathName);
    CharLowerA(path);
    return std::strstr(path, "pelmorsvc.exe") != nullptr;
}

int PelmorsvcRemove(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return PelmorsvcFailed(name, "Dienststeuerung nicht geoeffnet", GetLastError());
    }
    SC_HANDLE service = OpenServiceA(
        manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | DELETE);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return PelmorsvcFailed(
            name, error == ERROR_SERVICE_DOES_NOT_EXIST ? "gibt es nicht" : "nicht geoeffnet",
            error);
    }
    int result = PELMORSVC_OK;
    SERVICE_STATUS status{};
    if (!PelmorsvcIsOurs(service)) {
        std::fprintf(stderr,
                     "pelmorsvc: Dienst %s fuehrt nicht pelmorsvc.exe aus; nicht entfernt\n", name);
        result = PELMORSVC_FAILED;
    } else if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (DWORD waited = 0;
             status.dwCurrentState != SERVICE_STOPPED && waited < PELMORSVC_REMOVE_WAIT_MS;
             waited += PELMORSVC_POLL_MS) {
            Sleep(PELMORSVC_POLL_MS);
            if (!QueryServiceStatus(service, &status)) {
                break;
            }
        }
        if (status.dwCurrentState != SERVICE_STOPPED) {
            std::fprintf(stderr,
                         "pelmorsvc: Dienst %s nach 60 s nicht angehalten; entfernt wird er, "
                         "sobald er anhaelt\n",
                         name);
        }
    }
    if (result == PELMORSVC_OK && !DeleteService(service)) {
        result = PelmorsvcFailed(name, "nicht entfernt", GetLastError());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (result == PELMORSVC_OK) {
        std::printf("Dienst %s entfernt.\n", name);
    }
    return result;
}

} // namespace

const char* PelmorsvcArguments(const char* commandLine) {
    const char* at = commandLine;
    if (*at == '"') {
        for (++at; *at != '\0' && *at != '"'; ++at) {
        }
        if (*at == '"') {
            ++at;
        }
    } else {
        for (; *at != '\0' && *at != ' ' && *at != '\t'; ++at) {
        }
    }
    for (; *at == ' ' || *at == '\t'; ++at) {
    }
    return at;
}

int PelmorsvcProgramFolder(char* folder, DWORD capacity) {
    DWORD length = GetModuleFileNameA(nullptr, folder, capacity);
    if (length == 0 || length >= capacity) {
        return 0;
    }
    char* slash = std::strrchr(folder, '\\');
    if (slash == nullptr) {
        return 0;
    }
    slash[1] = '\0';
    return 1;
}

LONG PelmorsvcRegisterEventSource(void) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) {
        return static_cast<LONG>(GetLastError());
    }
    char key[200];
    std::snprintf(key, sizeof key, "%s%s", PELMORSVC_EVENTLOG_KEY, PELMORSVC_EVENT_SOURCE);
    HKEY source = nullptr;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &source, nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    result = RegSetValueExA(source, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(program), length + 1);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExA(source, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(source);
    return result;
}

void PelmorsvcReport(WORD type, const char* format, ...) {
    char text[PELMORSVC_TEXT_MAX];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    HANDLE log = RegisterEventSourceA(nullptr, PELMORSVC_EVENT_SOURCE);
    if (log == nullptr) {
        return;
    }
    const char* strings[1] = {text};
    ReportEventA(log, type, 0, PELMORSVC_MESSAGE_TEXT, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}

int main(int argc, char** argv) {
    if (argc >= 2) {
        const char* command = argv[1];
        if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
            PelmorsvcUsage();
            return PELMORSVC_OK;
        }
        if (std::strcmp(command, "--version") == 0 && argc == 2) {
            ToolShowVersion("pelmorsvc");
            return PELMORSVC_OK;
        }
        if (std::strcmp(command, "install") == 0) {
            return argc == 4 ? PelmorsvcInstall(argv[2], argv[3])
                             : PelmorsvcWrongCall("install erwartet NAME und PARAMETERDATEI");
        }
        if (std::strcmp(command, "remove") == 0) {
            return argc == 3 ? PelmorsvcRemove(argv[2])
                             : PelmorsvcWrongCall("remove erwartet NAME");
        }
    }
    // Otherwise the service control manager started it with the parameter
    // file as its command line.
    if (PelmorsvcRunService() == PELMORSVC_USAGE) {
        return PelmorsvcWrongCall("laeuft so nur als Dienst (siehe pelmorsvc --help)");
    }
    return PELMORSVC_OK;
}
