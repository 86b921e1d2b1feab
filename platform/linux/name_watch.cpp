// The name watch on Linux: inotify, its descriptor raising SIGIO.
#include "platform/name_watch.h"

#include "name_watch_syscalls.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// fcntl takes its last argument as "...", which a table entry cannot point
// to.
int SetOwnerSystem(int fd, const struct f_owner_ex* owner) {
    return fcntl(fd, F_SETOWN_EX, owner);
}

int ControlFileSystem(int fd, int command, int argument) {
    return fcntl(fd, command, argument);
}

// File systems whose events cover every change, made by any process on this
// machine: local disk and memory file systems. Network and FUSE file systems
// report only what this machine did through them; an unknown one gets no
// watch.
constexpr unsigned long NAME_WATCH_FILE_SYSTEMS[] = {
    0xEF53,     // ext2, ext3, ext4
    0x58465342, // xfs
    0x9123683E, // btrfs
    0x01021994, // tmpfs
    0x858458F6, // ramfs
    0xF2F52010, // f2fs
    0x2FC12FC1, // zfs
    0xCA451A4E, // bcachefs
    0x3153464A, // jfs
    0x52654973, // reiserfs
    0x794C7630, // overlayfs
};

// The file itself: renamed (also by another name taking its place, which
// changes its link count), a link removed, the file gone. A folder: renamed
// or removed; only "self" events, so what happens inside it is no report.
constexpr uint32_t NAME_WATCH_FILE_EVENTS = IN_MOVE_SELF | IN_ATTRIB | IN_DELETE_SELF;
constexpr uint32_t NAME_WATCH_FOLDER_EVENTS =
    IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

volatile std::sig_atomic_t nameWatchReports = 0;
volatile std::sig_atomic_t nameWatchDescriptor = -1; // the one the handler empties
int nameWatchHandlerInstalled = 0;

// Counts the report and empties the queue: a full queue would take further
// events without raising the signal. Merged events raise none either, but
// they are read here, before the handler returns, so a look after it sees
// them too.
void NameWatchOnSignal(int signalNumber, siginfo_t* information, void* context) {
    (void)signalNumber;
    (void)information;
    (void)context;
    const int saved = errno;
    nameWatchReports = (nameWatchReports + 1) & INT_MAX;
    const int fd = nameWatchDescriptor;
    if (fd >= 0) {
        alignas(inotify_event) char events[4096];
        while (nameWatchSyscalls.readEvents(fd, events, sizeof events) > 0) {
        }
    }
    errno = saved;
}

// The handler for SIGIO, and SIGIO let through to this thread (a parent may
// have passed it on blocked). Restarting calls where the system can; a
// receive with a time-out ends all the same.
int NameWatchInstallHandler(void) {
    if (!nameWatchHandlerInstalled) {
        struct sigaction action {};
        action.sa_sigaction = NameWatchOnSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGIO, &action, nullptr) != 0) {
            return 0;
        }
        nameWatchHandlerInstalled = 1;
    }
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    const int error = pthread_sigmask(SIG_UNBLOCK, &io, nullptr);
    if (error != 0) {
        errno = error;
        return 0;
    }
    return 1;
}

int NameWatchFileSystemReports(int fd) {
    struct statfs system {};
    if (fstatfs(fd, &system) != 0) {
        return 0;
    }
    for (const unsigned long type : NAME_WATCH_FILE_SYSTEMS) {
        if (static_cast<unsigned long>(system.f_type) == type) {
            return 1;
        }
    }
    errno = EOPNOTSUPP;
    return 0;
}

// Watches every folder the name passes through, as written: for a relative
// name only those inside it (the working folder is held by the process,
// whatever its name). A folder that is a link fails with ENOTDIR.
int NameWatchFolders(int handle, const char* path) {
    char prefix[PATH_MAX];
    const int length = std::snprintf(prefix, sizeof prefix, "%s", path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof prefix) {
        errno = ENAMETOOLONG;
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (prefix[i] != '/' || prefix[i - 1] == '/') {
            continue;
        }
        prefix[i] = '\0';
        const int added = nameWatchSyscalls.addWatch(handle, prefix, NAME_WATCH_FOLDER_EVENTS);
        prefix[i] = '/';
        if (added < 0) {
            return 0;
        }
    }
    return 1;
}

// The watches and the signal, in an order that loses no event: the file is
// watched through its descriptor (the very file open, whatever its name
// leads to by now), the name is then seen to be no link.
int NameWatchStart(int handle, const char* path, int fd) {
    char opened[64];
    std::snprintf(opened, sizeof opened, "/proc/self/fd/%d", fd);
    if (!NameWatchFileSystemReports(fd) ||
        nameWatchSyscalls.addWatch(handle, opened, NAME_WATCH_FILE_EVENTS) < 0 ||
        !NameWatchFolders(handle, path)) {
        return 0;
    }
    struct stat name {};
    if (lstat(path, &name) != 0) {
        return 0;
    }
    if (S_ISLNK(name.st_mode)) {
        errno = ELOOP;
        return 0;
    }
    f_owner_ex owner{};
    owner.type = F_OWNER_TID;
    owner.pid = gettid();
    if (!NameWatchInstallHandler() || nameWatchSyscalls.setOwner(handle, &owner) != 0 ||
        nameWatchSyscalls.controlFile(handle, F_SETSIG, SIGIO) != 0) {
        return 0;
    }
    nameWatchDescriptor = handle;
    if (nameWatchSyscalls.controlFile(handle, F_SETFL, O_ASYNC | O_NONBLOCK) != 0) {
        return 0;
    }
    // An event queued before the signal was set would take a later one of
    // its kind into it without a signal: empty the queue now. What came
    // before is seen by the check after opening.
    alignas(inotify_event) char events[4096];
    while (nameWatchSyscalls.readEvents(handle, events, sizeof events) > 0) {
    }
    return 1;
}

} // namespace

NameWatchSyscalls nameWatchSyscalls = {inotify_init1, inotify_add_watch, read, SetOwnerSystem,
                                       ControlFileSystem};
const NameWatchSyscalls nameWatchSyscallsSystem = {inotify_init1, inotify_add_watch, read,
                                                   SetOwnerSystem, ControlFileSystem};

int NameWatchBegin(const char* path, int fd, NameWatch* watch) {
    watch->watching = 0;
    watch->handle = nameWatchSyscalls.initWatch(IN_NONBLOCK | IN_CLOEXEC);
    // The first look always says "moved": the name is checked once after
    // the file was opened, as the watch began after that.
    watch->seen = nameWatchReports - 1;
    if (watch->handle < 0) {
        return 0;
    }
    if (NameWatchStart(watch->handle, path, fd) == 0) {
        const int error = errno;
        NameWatchEnd(watch);
        errno = error;
        return 0;
    }
    watch->watching = 1;
    return 1;
}

int NameWatchMayHaveMoved(const NameWatch* watch) {
    return watch->watching == 0 || watch->seen != nameWatchReports;
}

void NameWatchSeen(NameWatch* watch) {
    watch->seen = nameWatchReports;
}

int32_t NameWatchReports(void) {
    return nameWatchReports;
}

void NameWatchEnd(NameWatch* watch) {
    if (watch->handle >= 0) {
        if (nameWatchDescriptor == watch->handle) {
            nameWatchDescriptor = -1;
        }
        close(watch->handle);
    }
    watch->handle = -1;
    watch->watching = 0;
}
