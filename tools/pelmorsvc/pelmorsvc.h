// pelmorsvc: the service host that runs pelmor.exe for the service control
// manager, and its commands for people (install, remove).
#ifndef TOOLS_PELMORSVC_PELMORSVC_H
#define TOOLS_PELMORSVC_PELMORSVC_H

#include <windows.h>

constexpr int PELMORSVC_OK = 0;
constexpr int PELMORSVC_FAILED = 1;
constexpr int PELMORSVC_USAGE = 2;

// The service's own exit codes, shown by "sc query" as SERVICE_EXIT_CODE
// beside WIN32_EXIT_CODE 1066 (ERROR_SERVICE_SPECIFIC_ERROR). Each is a
// failure the recovery actions answer.
constexpr DWORD PELMORSVC_EXIT_NOT_READY = 1;      // pelmor.exe ended before it was ready
constexpr DWORD PELMORSVC_EXIT_ENDED = 2;          // pelmor.exe ended on its own while running
constexpr DWORD PELMORSVC_EXIT_NOT_STARTED = 3;    // pelmor.exe could not be started
constexpr DWORD PELMORSVC_EXIT_START_TIMEOUT = 4;  // not ready within the start bound
constexpr DWORD PELMORSVC_EXIT_OTHER_RECEIVER = 5; // another receiver runs already

// The event log source of every entry the service writes.
constexpr const char* PELMORSVC_EVENT_SOURCE = "PELMOR";

// The text after the program name of a command line, as pelmor.exe's
// WinMain gets it: blanks after the name skipped, the rest as it stands.
const char* PelmorsvcArguments(const char* commandLine);

// This program's folder with its trailing backslash. 1, or 0 when it does
// not fit into capacity bytes.
int PelmorsvcProgramFolder(char* folder, DWORD capacity);

// The event source "PELMOR" in the Application log, its messages taken from
// this program's message table. ERROR_SUCCESS or the registry's error.
LONG PelmorsvcRegisterEventSource(void);

// One entry in the event log (source "PELMOR"); type is EVENTLOG_ERROR_TYPE,
// EVENTLOG_WARNING_TYPE or EVENTLOG_INFORMATION_TYPE. The text is cut to
// the bounded buffer.
void PelmorsvcReport(WORD type, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Hands the process to the service control manager and returns when the
// service has stopped: PELMORSVC_OK, or PELMORSVC_USAGE when the program was
// not started by the service control manager.
int PelmorsvcRunService(void);

#endif
