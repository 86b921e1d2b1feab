// Whether the name of an open file may have moved, told by the system
// instead of asked per record: NameWatchBegin, NameWatchMayHaveMoved,
// NameWatchSeen, NameWatchReports, NameWatchEnd.
//
// One per process: the report count is the process's, and on Linux the
// signal handler empties only the descriptor of the watch begun last, so a
// second watch at the same time would leave the first one's queue full.
//
// Linux: an inotify watch on the open file (its renaming, a change of its
// link count, its removal) and on every folder of the name (their renaming or
// removal); the watch's descriptor raises SIGIO on an event (O_ASYNC,
// F_SETSIG, owned by the calling thread), and the handler only counts the
// report and empties the watch's queue. The signal is pending the moment a
// consumer's rename or unlink has made its change, and it is handled before
// the caller's next system call returns, so a look after a write(2) sees
// every move that happened before that write returned. A read waiting at
// that moment ends early (EINTR); NameWatchReports tells the caller so.
// No watch (the caller checks the name per record instead) on a file system
// not known to report every change (network and FUSE file systems report
// only local ones), for a name or a folder of it that is a symbolic link
// (re-pointing a link is no event of the file), or when a limit is reached.
// Windows: the stream _fsopen holds open with _SH_DENYNO cannot be renamed or
// deleted, so the name never moves while it is open: always watching, never
// moved, no report.
#ifndef PLATFORM_NAME_WATCH_H
#define PLATFORM_NAME_WATCH_H

#include <cstdint>

struct NameWatch {
    int watching; // 1: the system reports; 0: the name is checked per record
    int handle;   // Linux: the inotify descriptor, -1 without one
    int32_t seen; // NameWatchReports at the last look
};

// Starts watching whether path still leads to the regular file open as fd.
// 1 when the system will report a move; 0 when it cannot, with errno saying
// why (then NameWatchMayHaveMoved always says 1). Either way the first look
// says 1, so the caller checks the name once after opening.
int NameWatchBegin(const char* path, int fd, NameWatch* watch);

// 1 when the name may have moved since the last NameWatchSeen, or when there
// is no watch; 0 when it has not. Reads memory only.
int NameWatchMayHaveMoved(const NameWatch* watch);

// Takes the reports so far as seen. Call it before checking the name, so a
// move during the check is reported at the next look.
void NameWatchSeen(NameWatch* watch);

// How many reports the process has had so far (it wraps). A blocking call
// that failed while this changed may have been ended by a report.
int32_t NameWatchReports(void);

// Ends the watch; the watch may then be started again.
void NameWatchEnd(NameWatch* watch);

#endif
