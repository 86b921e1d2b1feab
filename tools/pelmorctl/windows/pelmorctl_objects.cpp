// Where pelmorctl finds the receiver's named objects on Windows.
#include "pelmorctl.h"

#include <cstdio>

const char* const PELMORCTL_OBJECTS_HELP =
    "Die benannten Objekte gehoeren zur Windows-Sitzung, in der der Empfaenger\n"
    "gestartet wurde: pelmorctl in derselben Sitzung aufrufen.\n";

int PelmorctlUseInstance(const char* name) {
    // Windows runs one receiver per session: its named objects are global.
    std::fprintf(stderr, "pelmorctl: --instance %s: Instanzen gibt es nur unter Linux\n", name);
    return 0;
}
