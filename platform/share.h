// Opening a stream with a sharing mode: _fsopen and _SH_DENYNO (others may
// read and write the file while it is open).
//
// Linux: a file that does not exist is created with mode 0644 less the umask.
#ifndef PLATFORM_SHARE_H
#define PLATFORM_SHARE_H

#include <cstdio>

#if defined(_WIN32)
#include <share.h>
#else
#define _SH_DENYNO 0x40

FILE* _fsopen(const char* path, const char* mode, int shareFlag);
#endif

#endif
