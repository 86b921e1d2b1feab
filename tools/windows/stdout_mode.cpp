// Standard output switched from text to binary mode in the C runtime.
#include "tools/stdout_mode.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

void StdoutBinaryMode()
{
    _setmode(_fileno(stdout), _O_BINARY);
}
