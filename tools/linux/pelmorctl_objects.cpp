// Where pelmorctl finds the receiver's named objects on Linux.
#include "pelmorctl.h"

const char* const PELMORCTL_OBJECTS_HELP =
    "Die benannten Objekte liegen in $PELMOR_RUNTIME_DIR, sonst in\n"
    "$XDG_RUNTIME_DIR/pelmor, sonst in /tmp/pelmor-<uid>.\n";
