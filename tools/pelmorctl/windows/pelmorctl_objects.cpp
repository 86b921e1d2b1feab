// Where pelmorctl finds the receiver's named objects on Windows: those of
// the caller's session. A receiver that runs as a service lives in session
// 0, whose objects a desktop session reaches only as Global\NAME.
#include "pelmorctl.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

#include "protocol/names.h"

const char* const PELMORCTL_OBJECTS_HELP =
    "Die benannten Objekte gehoeren zur Windows-Sitzung, in der der Empfaenger\n"
    "gestartet wurde: pelmorctl in derselben Sitzung aufrufen. Ein Empfaenger, der\n"
    "als Dienst laeuft (pelmorsvc, Sitzung 0), wird aus einer Desktop-Sitzung\n"
    "erkannt (Global\\PELMOR_MTX) und mit sc query und sc stop gesteuert.\n";

namespace {

// Whether a receiver's mutex exists in the global namespace (session 0).
bool PelmorctlServiceReceiverRuns() {
    const std::string name = std::string("Global\\") + PELMOR_MUTEX_NAME;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return true;
    }
    // Denied: it exists, but belongs to the service's account.
    return GetLastError() == ERROR_ACCESS_DENIED;
}

} // namespace

int PelmorctlUseInstance(const char* name) {
    // Windows runs one receiver per session: its named objects are global.
    std::fprintf(stderr, "pelmorctl: --instance %s: Instanzen gibt es nur unter Linux\n", name);
    return 0;
}

int PelmorctlFindService(void) {
    return 1;
}

int PelmorctlHintService(const char* command) {
    if (!PelmorctlServiceReceiverRuns()) {
        return 0;
    }
    std::fprintf(stderr,
                 "pelmorctl: in dieser Sitzung laeuft kein Empfaenger, aber einer als Dienst "
                 "(Sitzung 0, Global\\%s); %s mit: sc query DIENST bzw. sc stop DIENST\n",
                 PELMOR_MUTEX_NAME, std::strcmp(command, "stop") == 0 ? "stoppen" : "zeigen");
    return 1;
}

int PelmorctlEachServiceReceiver(int (*show)(const char* unit, const char* dir)) {
    // One receiver per session: the caller's.
    return show("pelmor", "diese Sitzung");
}
