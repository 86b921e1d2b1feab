// The system calls under the Linux file calls. They are reached through this
// table so that a test can put a failing call in place; it must put the
// original back from fileSyscallsSystem when done.
#ifndef PLATFORM_LINUX_FILE_SYSCALLS_H
#define PLATFORM_LINUX_FILE_SYSCALLS_H

#include <sys/stat.h>
#include <sys/types.h>

struct FileSyscalls {
    int (*openFile)(const char* path, int flags);
    int (*statFile)(int fd, struct stat* status);
    ssize_t (*readFile)(int fd, void* buffer, size_t bytes);
    off_t (*seekFile)(int fd, off_t offset, int whence);
    int (*closeFile)(int fd);
};

extern FileSyscalls fileSyscalls;
extern const FileSyscalls fileSyscallsSystem;

// Bytes the layer reads ahead per system call, and bytes of the previous
// read-ahead it keeps so that a short step back needs no seek.
constexpr size_t FILE_CALLS_READ_AHEAD = 65536;
constexpr size_t FILE_CALLS_KEEP_BEHIND = 512;

#endif
