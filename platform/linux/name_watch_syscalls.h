// The system calls under the Linux name watch. They are reached through this
// table so that a test can put a failing call in place; it must put the
// original back from nameWatchSyscallsSystem when done.
#ifndef PLATFORM_LINUX_NAME_WATCH_SYSCALLS_H
#define PLATFORM_LINUX_NAME_WATCH_SYSCALLS_H

#include <cstdint>
#include <fcntl.h>
#include <sys/types.h>

struct NameWatchSyscalls {
    int (*initWatch)(int flags);                                    // inotify_init1(2)
    int (*addWatch)(int handle, const char* path, uint32_t events); // inotify_add_watch(2)
    ssize_t (*readEvents)(int handle, void* buffer, size_t bytes);
    int (*setOwner)(int fd, const struct f_owner_ex* owner); // fcntl(2) F_SETOWN_EX
    int (*controlFile)(int fd, int command, int argument);   // fcntl(2) with an int argument
};

extern NameWatchSyscalls nameWatchSyscalls;
extern const NameWatchSyscalls nameWatchSyscallsSystem;

#endif
