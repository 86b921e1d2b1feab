// The system calls under the Linux kernel objects. They are reached through
// this table so that a test can put a failing call in place; it must put the
// original back from kernelSyscallsSystem when done.
#ifndef PLATFORM_LINUX_KERNEL_SYSCALLS_H
#define PLATFORM_LINUX_KERNEL_SYSCALLS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

struct KernelSyscalls {
    int (*makeDir)(const char* path, mode_t mode);
    int (*openDir)(const char* path, int flags);
    int (*openAt)(int dirFd, const char* name, int flags, mode_t mode);
    int (*makeMemoryFile)(const char* name, unsigned int flags);
    int (*statFile)(int fd, struct stat* status);
    int (*statPath)(const char* path, struct stat* status);
    int (*lockWhole)(int fd, int operation);                   // flock(2)
    int (*lockRange)(int fd, int command, struct flock* lock); // fcntl(2) record locks
    int (*truncateFile)(int fd, off_t length);
    ssize_t (*readAt)(int fd, void* buffer, size_t bytes, off_t offset);
    ssize_t (*writeAt)(int fd, const void* buffer, size_t bytes, off_t offset);
    void* (*mapMemory)(void* address, size_t length, int protection, int flags, int fd,
                       off_t offset);
    int (*unmapMemory)(void* address, size_t length);
    int (*closeFile)(int fd);
};

extern KernelSyscalls kernelSyscalls;
extern const KernelSyscalls kernelSyscallsSystem;

#endif
