// The name watch on Windows: the stream _fsopen holds open with _SH_DENYNO
// cannot be renamed or deleted (no FILE_SHARE_DELETE), so while it is open
// its name leads to it and there is nothing to report.
#include "platform/name_watch.h"

int NameWatchBegin(const char* path, int fd, NameWatch* watch) {
    (void)path;
    (void)fd;
    watch->watching = 1;
    watch->handle = -1;
    watch->seen = 0;
    return 1;
}

int NameWatchMayHaveMoved(const NameWatch* watch) {
    (void)watch;
    return 0;
}

void NameWatchSeen(NameWatch* watch) {
    (void)watch;
}

int32_t NameWatchReports(void) {
    return 0;
}

void NameWatchEnd(NameWatch* watch) {
    watch->watching = 0;
}
