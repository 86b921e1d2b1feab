// Opening a stream with a sharing mode: _fsopen and _SH_DENYNO (others may
// read and write the file while it is open); the length of an open file and
// cutting it back: _fileno, _filelengthi64, _chsize_s; forcing what was
// written to stable storage: _commit.
//
// Linux: a file that does not exist is created with mode 0644 less the umask.
// _commit is fdatasync: the data and what is needed to read it back (the
// length), not the times.
#ifndef PLATFORM_SHARE_H
#define PLATFORM_SHARE_H

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#include <share.h>
#else
#define _SH_DENYNO 0x40

FILE* _fsopen(const char* path, const char* mode, int shareFlag);
int _fileno(FILE* stream);
long long _filelengthi64(int fd);           // -1 on failure
int _chsize_s(int fd, long long size);      // 0 on success, else an errno value
int _commit(int fd);                        // 0 on success, else -1 and errno
#endif

#endif
