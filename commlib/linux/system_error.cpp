// Failures of system calls, with the C library's text of their errno.
#include <cstring>

#include "last_error.h"
#include "commlib/nevtar.h"

int32_t NevtarFailSystem(int errorNumber, const char* what) {
    return NevtarFail(NEVTAR_ERR_SYSTEM, errorNumber, "%s: %s", what, std::strerror(errorNumber));
}
