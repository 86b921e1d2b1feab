// What every tool's command line shares.
#include "common/usage.h"

#include <cstdio>

void ToolShowVersion(const char* program) {
    std::printf("%s %s\n", program, PELMOR_VERSION);
}
