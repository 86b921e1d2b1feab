// The receiver's entry: one copy at a time, start-up, the connection loop,
// shutdown. The exit code is 0 on every path.
#include <cstdio>

#include "lifecycle.h"
#include "log.h"
#include "platform/ctrl_handler.h"
#include "platform/kernel_objects.h"
#include "platform/process_entry.h"
#include "protocol/names.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    ReceiverContext context{};
    SetConsoleCtrlHandler(PelmorCtrlHandler, TRUE);

    HANDLE mutex = CreateMutexA(nullptr, TRUE, PELMOR_MUTEX_NAME);
    if (mutex == nullptr) {
        std::fprintf(stderr, "pelmor: Mutex %s nicht erzeugt (Fehler %lu)\n", PELMOR_MUTEX_NAME,
                     static_cast<unsigned long>(GetLastError()));
        return 0;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another copy runs: end silently.
        CloseHandle(mutex);
        return 0;
    }
    if (PelmorInit(commandLine, &context) == 0) {
        CloseHandle(mutex);
        return 0;
    }
    if (PelmorWork(&context) == 0) {
        PelmorLog("WinMain()", PELMOR_LOG_FAILURE, 0, 0, "", "Fehler: Funktion PelmorWork()!");
    }
    PelmorExit(&context);
    CloseHandle(mutex);
    return 0;
}
