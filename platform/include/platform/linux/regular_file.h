// Opening a file the process writes on behalf of others (the buffer file,
// the log) on Linux, where another local user may have put something in its
// place: the open never waits (a FIFO without a reader), takes only a regular
// file, and never goes through a symbolic link owned by another user than
// the process's own (effective) one or root. Links of those two are followed,
// each link read as it stands, so no other link can slip in between.
#ifndef PLATFORM_LINUX_REGULAR_FILE_H
#define PLATFORM_LINUX_REGULAR_FILE_H

#include <sys/types.h>

// open(2) with flags and mode under the rules above. The descriptor, or -1
// with errno: EACCES for a link of another user, EINVAL for a file that is
// not regular, ELOOP for more than eight links in a row. The descriptor is
// non-blocking, which changes nothing for a regular file.
int RegularFileOpen(const char* path, int flags, mode_t mode);

#endif
