// Opening a file the process writes on behalf of others (the buffer file,
// the log) on Linux, where another local user may have put something in its
// place or in the place of any folder on its path: the path is walked folder
// by folder, each held open, and a symbolic link anywhere on it is followed
// only when it belongs to the process's own (effective) user or root, read
// through the very descriptor whose owner was checked, so no other link can
// slip in between. The open never waits (a FIFO without a reader), takes
// only a regular file, and writes only to a file of the process's user or
// root.
#ifndef PLATFORM_LINUX_REGULAR_FILE_H
#define PLATFORM_LINUX_REGULAR_FILE_H

#include <sys/types.h>

// open(2) with flags and mode under the rules above. The descriptor, or -1
// with errno: EACCES for a link of another user or a file of another user
// opened for writing, EINVAL for a file that is not regular, ELOOP for more
// than 40 links. The descriptor is non-blocking, which changes nothing for a
// regular file.
int RegularFileOpen(const char* path, int flags, mode_t mode);

// rename(2) with both folders walked under the rules above. 0, or -1 with
// errno.
int RegularFileRename(const char* from, const char* to);

#endif
