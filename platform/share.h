// Opening a stream with a sharing mode: _fsopen and _SH_DENYNO (others may
// read and write the file while it is open). Cutting an open file back:
// _fileno, _filelengthi64 (-1 on failure) and _chsize_s (0 on success).
//
// Linux: a file that does not exist is created with mode 0644 less the umask.
#ifndef PLATFORM_SHARE_H
#define PLATFORM_SHARE_H

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#include <share.h>
#else
#include <cstdint>

#define _SH_DENYNO 0x40

FILE* _fsopen(const char* path, const char* mode, int shareFlag);
int _fileno(FILE* stream);
int64_t _filelengthi64(int fd);
int _chsize_s(int fd, int64_t size);
#endif

#endif
