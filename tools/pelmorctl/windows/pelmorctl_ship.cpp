// Windows has no shipper, hence no state of one to check.
#include "pelmorctl.h"

int PelmorctlCheckShipFiles(const char*) {
    return 1;
}
