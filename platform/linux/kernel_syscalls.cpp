// The system calls under the Linux kernel objects, as the kernel gives them.
#include "kernel_syscalls.h"

#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// open, openat and fcntl take their last argument as "...", which a table
// entry cannot point to.
int OpenDirSystem(const char* path, int flags) {
    return open(path, flags);
}

int OpenAtSystem(int dirFd, const char* name, int flags, mode_t mode) {
    return openat(dirFd, name, flags, mode);
}

int LockRangeSystem(int fd, int command, struct flock* lock) {
    return fcntl(fd, command, lock);
}

} // namespace

KernelSyscalls kernelSyscalls = {mkdir,  OpenDirSystem, OpenAtSystem,    memfd_create, fstat,
                                 stat,   flock,         LockRangeSystem, ftruncate,    pread,
                                 pwrite, mmap,          munmap,          close};
const KernelSyscalls kernelSyscallsSystem = {
    mkdir,           OpenDirSystem, OpenAtSystem, memfd_create, fstat, stat,   flock,
    LockRangeSystem, ftruncate,     pread,        pwrite,       mmap,  munmap, close};
