// What reading and writing out the buffer file needs from the platform.
#ifndef TOOLS_PELMORCTL_BUFFER_PLATFORM_H
#define TOOLS_PELMORCTL_BUFFER_PLATFORM_H

#include "platform/file_calls.h"

// 1 when a file opened with _lopen is a file on disk, else 0. On Linux _lopen
// has refused everything else already; on Windows it opens devices (NUL,
// CON) and pipes as well.
int BufferRegularFile(HFILE file);

// Puts standard output in binary mode; call before anything is written.
// Windows translates every line feed written in text mode to CR LF, which
// would change message bytes in records --csv and the line ends they are
// framed by. Linux has no text mode.
void StdoutBinaryMode();

#endif
