// Linux: _lopen takes regular files only, and streams have no text mode.
#include "buffer_platform.h"

int BufferRegularFile(HFILE) {
    return 1;
}

void StdoutBinaryMode() {}
