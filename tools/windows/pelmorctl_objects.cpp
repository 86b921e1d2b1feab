// Where pelmorctl finds the receiver's named objects on Windows.
#include "pelmorctl.h"

const char* const PELMORCTL_OBJECTS_HELP =
    "Die benannten Objekte gehoeren zur Windows-Sitzung, in der der Empfaenger\n"
    "gestartet wurde: pelmorctl in derselben Sitzung aufrufen.\n";
