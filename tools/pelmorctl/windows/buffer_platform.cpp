// Windows: the file's type from its handle; standard output switched from
// text to binary mode in the C runtime.
#include "buffer_platform.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

int BufferRegularFile(HFILE file) {
    // _lopen's HFILE is the file's handle.
    return GetFileType(reinterpret_cast<HANDLE>(static_cast<intptr_t>(file))) == FILE_TYPE_DISK;
}

void StdoutBinaryMode() {
    _setmode(_fileno(stdout), _O_BINARY);
}
