// An object's file in the namespace directory: made or joined, and a handle
// made on it.
//
// An object's existence is carried by open-file-description locks, which the
// kernel drops when the last descriptor of a handle is closed, also when the
// process dies:
//   byte 0  guard, held exclusively while a handle is created or opened
//   byte 1  holders: every handle holds it shared; the object exists while
//           any process holds it, and a creator that can lock it
//           exclusively (under the guard) knows it is the only one
//   byte 2  ownership of a mutex
// The state lives in the file itself and is mapped shared, so SetEvent and
// ResetEvent are an atomic store and a futex wake: safe in a signal handler.
// A file mapping's memory follows the shared part at KERNEL_VIEW_OFFSET; a
// view maps the file from its start, and as the mapping holds the open file
// description, a view keeps the holder lock (and so the object) alive.
// The files stay in the directory; without holders they mean nothing.
// A mapping's size is read and checked once, when a handle is made.
#include "kernel_internal.h"
#include "kernel_syscalls.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Maps the shared part and makes the handle record; closes both descriptors
// on failure.
HANDLE KernelNewHandle(int fd, int dirFd, int32_t kind, int32_t owned, uint32_t size) {
    void* map = KernelMap(fd, sizeof(KernelShared), PROT_READ | PROT_WRITE);
    if (map == nullptr) {
        KernelCloseDescriptors(fd, dirFd);
        return nullptr;
    }
    PlatformObject* object = new (std::nothrow) PlatformObject;
    if (object == nullptr) {
        KernelFail(ERROR_NOT_ENOUGH_MEMORY);
        KernelUnmap(map);
        KernelCloseDescriptors(fd, dirFd);
        return nullptr;
    }
    object->kind = kind;
    object->fd = fd;
    object->dirFd = dirFd;
    object->shared = static_cast<KernelShared*>(map);
    object->owned = owned;
    object->size = size;
    return object;
}

// Writes a fresh object's state into its (zeroed) file, with size bytes of
// zeroed memory for a mapping. 1, or 0 with the last error set.
int KernelInitialise(int fd, int32_t kind, int32_t signalled, uint32_t size) {
    KernelShared fresh;
    fresh.kind = kind;
    fresh.signalled.store(signalled);
    fresh.size = size;
    const off_t length = kind == KERNEL_KIND_MAPPING
                             ? static_cast<off_t>(KERNEL_VIEW_OFFSET) + static_cast<off_t>(size)
                             : static_cast<off_t>(sizeof fresh);
    if (kernelSyscalls.truncateFile(fd, 0) != 0 || kernelSyscalls.truncateFile(fd, length) != 0 ||
        kernelSyscalls.writeAt(fd, &fresh, sizeof fresh, 0) != static_cast<ssize_t>(sizeof fresh)) {
        KernelFail(KernelErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

// Joins an object that has holders; a mapping's size into *size, checked
// against the file's. 1, or 0 with the last error set. Called under the guard.
int KernelJoinExisting(int fd, int32_t kind, uint32_t* size) {
    int error = KernelLockByte(fd, KERNEL_BYTE_HOLDERS, F_RDLCK, 0);
    if (error != 0) {
        KernelFail(KernelErrorFromErrno(error));
        return 0;
    }
    struct stat info;
    int32_t head[3] = {KERNEL_KIND_NONE, 0, 0}; // kind, signalled, size as KernelShared lays them
    static_assert(offsetof(KernelShared, size) == 2 * sizeof(int32_t), "the head read");
    if (kernelSyscalls.statFile(fd, &info) != 0 ||
        info.st_size < static_cast<off_t>(sizeof(KernelShared)) ||
        kernelSyscalls.readAt(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        head[0] != kind) {
        KernelFail(ERROR_INVALID_HANDLE); // the name belongs to another kind of object
        return 0;
    }
    *size = static_cast<uint32_t>(head[2]);
    if (kind == KERNEL_KIND_MAPPING &&
        info.st_size < static_cast<off_t>(KERNEL_VIEW_OFFSET) + static_cast<off_t>(*size)) {
        KernelFail(ERROR_INVALID_HANDLE); // a size its file does not hold
        return 0;
    }
    return 1;
}

// Makes a fresh object the caller is the only holder of. Called under the guard
// with the holder byte locked exclusively.
int KernelCreateFresh(int fd, int32_t kind, int32_t signalled, int32_t owned, uint32_t size) {
    if (!KernelInitialise(fd, kind, signalled, size)) {
        return 0;
    }
    int error = owned ? KernelLockByte(fd, KERNEL_BYTE_OWNER, F_WRLCK, 0) : 0;
    if (error == 0) {
        error = KernelLockByte(fd, KERNEL_BYTE_HOLDERS, F_RDLCK, 0);
    }
    if (error != 0) {
        KernelFail(KernelErrorFromErrno(error));
        return 0;
    }
    return 1;
}

} // namespace

// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) one lock byte; wait blocks until
// it is free. 0, or the errno of the failure.
int KernelLockByte(int fd, off_t byte, short type, int wait) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    while (kernelSyscalls.lockRange(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

void KernelCloseDescriptors(int fd, int dirFd) {
    kernelSyscalls.closeFile(fd);
    if (dirFd >= 0) {
        kernelSyscalls.closeFile(dirFd);
    }
}

// Creates (create 1) or opens (create 0) the object of a name. signalled,
// owned and size are the state of a fresh object.
HANDLE KernelAttach(const char* name, int32_t kind, int create, int32_t signalled, int32_t owned,
                    uint32_t size) {
    if (name == nullptr) {
        // An unnamed object is a fresh one nobody else can reach.
        if (!create) {
            KernelFail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        int fd = kernelSyscalls.makeMemoryFile("pelmor-object", MFD_CLOEXEC);
        if (fd < 0 || !KernelCreateFresh(fd, kind, signalled, owned, size)) {
            if (fd >= 0) {
                kernelSyscalls.closeFile(fd);
            } else {
                KernelFail(KernelErrorFromErrno(errno));
            }
            return nullptr;
        }
        kernelLastError = ERROR_SUCCESS;
        return KernelNewHandle(fd, -1, kind, owned, size);
    }
    if (!KernelNameValid(name)) {
        return nullptr;
    }
    const int dirFd = KernelNamespaceDir(create);
    if (dirFd < 0) {
        return nullptr;
    }
    int fd = kernelSyscalls.openAt(dirFd, name,
                                   O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
        KernelFail(KernelErrorFromErrno(errno));
        kernelSyscalls.closeFile(dirFd);
        return nullptr;
    }
    // An object file of another user, or one that group or others may write
    // (restored from a backup, say), could be reset or cut by them.
    struct stat info;
    if (kernelSyscalls.statFile(fd, &info) != 0 || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        KernelFail(ERROR_ACCESS_DENIED);
        KernelCloseDescriptors(fd, dirFd);
        return nullptr;
    }
    int error = KernelLockByte(fd, KERNEL_BYTE_GUARD, F_WRLCK, 1);
    if (error != 0) {
        KernelFail(KernelErrorFromErrno(error));
        KernelCloseDescriptors(fd, dirFd);
        return nullptr;
    }
    int alone = KernelLockByte(fd, KERNEL_BYTE_HOLDERS, F_WRLCK, 0) == 0;
    int ready;
    if (!alone) {
        ready = KernelJoinExisting(fd, kind, &size);
        if (ready) {
            kernelLastError = create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
        }
    } else if (create) {
        ready = KernelCreateFresh(fd, kind, signalled, owned, size);
        if (ready) {
            kernelLastError = ERROR_SUCCESS;
        }
    } else {
        ready = 0;
        KernelFail(ERROR_FILE_NOT_FOUND);
    }
    KernelLockByte(fd, KERNEL_BYTE_GUARD, F_UNLCK, 0);
    if (!ready) {
        KernelCloseDescriptors(fd, dirFd);
        return nullptr;
    }
    return KernelNewHandle(fd, dirFd, kind, alone && owned, size);
}
