// Opening a stream with a sharing mode: _fsopen and _SH_DENYNO (others may
// read and write the file while it is open); writing to its descriptor past
// the stream's buffer: _write; the length of an open file and cutting it
// back: _fileno, _filelengthi64, _chsize_s; forcing what was written to
// stable storage: _commit. And whether an open file still bears
// its name: ShareIdentifyOpenFile, ShareNameLeadsTo.
//
// Linux: _fsopen opens regular files only, never waits (a FIFO without a
// reader), never goes through a symbolic link that belongs to another user
// than the caller's or root, in any folder of the path or as the file
// itself, writes only to a file of the caller's user or root, and creates a
// missing file with mode 0644 less the umask. _commit is fdatasync: the data
// and what is needed to read it back (the length), not the times.
// Windows: a file _fsopen holds open with _SH_DENYNO cannot be renamed or
// deleted (no FILE_SHARE_DELETE), so there its name always leads to it.
#ifndef PLATFORM_SHARE_H
#define PLATFORM_SHARE_H

#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#include <share.h>
#else
#define _SH_DENYNO 0x40

FILE* _fsopen(const char* path, const char* mode, int shareFlag);
int _fileno(FILE* stream);
int _write(int fd, const void* buffer, unsigned int count); // bytes written, or -1 and errno
long long _filelengthi64(int fd);                           // -1 on failure
int _chsize_s(int fd, long long size);                      // 0 on success, else an errno value
int _commit(int fd);                                        // 0 on success, else -1 and errno
#endif

// Which file an open descriptor is: its volume (device) and its number there.
struct ShareFileIdentity {
    uint64_t volume;
    uint64_t index;
};

// 1 and the identity of the file open as fd when it is a regular disk file;
// 0 for anything else (a FIFO, a device) or when it cannot be told.
int ShareIdentifyOpenFile(int fd, ShareFileIdentity* identity);

// 1 when path leads to the file of identity now; 0 when it leads to another
// file or to none (renamed away, deleted). Linux: one stat of the path;
// Windows: no call, the open stream keeps its name (see above).
int ShareNameLeadsTo(const char* path, const ShareFileIdentity* identity);

// 1 when the two names lead to the same file now or, where one or both do
// not exist yet, would make the same file: the same folder and the same
// last name (Linux), the same full path, letter case aside (Windows); else 0.
int ShareSameFile(const char* first, const char* second);

// Holds the file at path (made when missing) for this process alone until it
// ends: 1 held, 0 another process holds it, -1 a failure (errno on Linux,
// GetLastError on Windows). Nothing ever lets go of it but the process's end.
// Linux: an open file description lock (F_OFD_SETLK) on the whole file, with
// _fsopen's rules for the path; Windows: the file open with no sharing.
int ShareHoldForLife(const char* path);

#endif
