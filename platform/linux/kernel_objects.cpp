// Named mutexes, manual-reset events and file mappings shared between
// processes.
//
// Every name is a file in the namespace directory. Its existence as an object
// is carried by open-file-description locks, which the kernel drops when the
// last descriptor of a handle is closed, also when the process dies:
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
#include "platform/kernel_objects.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int32_t KERNEL_KIND_NONE = 0; // a closed record
constexpr int32_t KERNEL_KIND_MUTEX = 0x4D555458;
constexpr int32_t KERNEL_KIND_EVENT = 0x45564E54;
constexpr int32_t KERNEL_KIND_MAPPING = 0x4D415050;

constexpr off_t KERNEL_BYTE_GUARD = 0;
constexpr off_t KERNEL_BYTE_HOLDERS = 1;
constexpr off_t KERNEL_BYTE_OWNER = 2;

constexpr int64_t KERNEL_MUTEX_POLL_MS = 5;

// The part of an object that all processes see.
struct KernelShared {
    int32_t kind;
    std::atomic<int32_t> signalled; // events: 1 signalled, 0 reset
    uint32_t size;                  // file mappings: bytes of memory after the shared part
};
// Where a mapping's memory begins in its file: aligned for any field.
constexpr std::size_t KERNEL_VIEW_OFFSET = 64;
static_assert(sizeof(KernelShared) <= KERNEL_VIEW_OFFSET, "the memory follows the shared part");
static_assert(std::atomic<int32_t>::is_always_lock_free, "signal handlers need a lock-free state");
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t), "the futex word is 32 bits");

thread_local DWORD kernelLastError = ERROR_SUCCESS;

} // namespace

// What a HANDLE points to; kind comes first so a handle's kind can be told.
struct PlatformObject {
    int32_t kind;
    int fd;
    KernelShared* shared;
    int32_t owned; // mutex: times this handle has taken ownership
};

namespace {

void KernelFail(DWORD error) {
    kernelLastError = error;
}

DWORD KernelErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ELOOP:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// The namespace directory, created 0700 when missing. 1, or 0 with the last
// error set.
int KernelNamespaceDir(char* dir, size_t capacity) {
    const char* own = std::getenv("PELMOR_RUNTIME_DIR");
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    int length;
    if (own != nullptr && own[0] != '\0') {
        length = std::snprintf(dir, capacity, "%s", own);
    } else if (xdg != nullptr && xdg[0] != '\0') {
        length = std::snprintf(dir, capacity, "%s/pelmor", xdg);
    } else {
        length = std::snprintf(dir, capacity, "/tmp/pelmor-%u", static_cast<unsigned>(getuid()));
    }
    if (length < 0 || static_cast<size_t>(length) >= capacity) {
        KernelFail(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
        KernelFail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : KernelErrorFromErrno(errno));
        return 0;
    }
    // Another user's directory (say a planted /tmp/pelmor-<uid>) is not ours
    // to use, nor one where others may put or replace the object files.
    struct stat info;
    if (lstat(dir, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        KernelFail(ERROR_ACCESS_DENIED);
        return 0;
    }
    return 1;
}

// The file of a name. 1, or 0 with the last error set.
int KernelObjectPath(const char* name, char* path, size_t capacity) {
    if (name[0] == '\0' || std::strchr(name, '/') != nullptr || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        KernelFail(ERROR_INVALID_NAME);
        return 0;
    }
    char dir[4096];
    if (!KernelNamespaceDir(dir, sizeof dir)) {
        return 0;
    }
    int length = std::snprintf(path, capacity, "%s/%s", dir, name);
    if (length < 0 || static_cast<size_t>(length) >= capacity) {
        KernelFail(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return 1;
}

// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) one lock byte; wait blocks until
// it is free. 0, or the errno of the failure.
int KernelLockByte(int fd, off_t byte, short type, int wait) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

constexpr int64_t KERNEL_NS_PER_MS = 1000000;
constexpr int64_t KERNEL_NS_PER_S = 1000000000;

// Nanoseconds, so a wait never ends before its time for want of resolution.
int64_t KernelNowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * KERNEL_NS_PER_S + now.tv_nsec;
}

int64_t KernelDeadline(DWORD milliseconds) {
    return KernelNowNs() + static_cast<int64_t>(milliseconds) * KERNEL_NS_PER_MS;
}

struct timespec KernelSpan(int64_t nanoseconds) {
    struct timespec span;
    span.tv_sec = static_cast<time_t>(nanoseconds / KERNEL_NS_PER_S);
    span.tv_nsec = static_cast<long>(nanoseconds % KERNEL_NS_PER_S);
    return span;
}

// Maps the shared part and makes the handle record; closes fd on failure.
HANDLE KernelNewHandle(int fd, int32_t kind, int32_t owned) {
    void* map = mmap(nullptr, sizeof(KernelShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        KernelFail(KernelErrorFromErrno(errno));
        close(fd);
        return nullptr;
    }
    PlatformObject* object = new (std::nothrow) PlatformObject;
    if (object == nullptr) {
        KernelFail(ERROR_NOT_ENOUGH_MEMORY);
        munmap(map, sizeof(KernelShared));
        close(fd);
        return nullptr;
    }
    object->kind = kind;
    object->fd = fd;
    object->shared = static_cast<KernelShared*>(map);
    object->owned = owned;
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
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, length) != 0 ||
        pwrite(fd, &fresh, sizeof fresh, 0) != static_cast<ssize_t>(sizeof fresh)) {
        KernelFail(KernelErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

// Joins an object that has holders. 1, or 0 with the last error set. Called
// under the guard.
int KernelJoinExisting(int fd, int32_t kind) {
    int error = KernelLockByte(fd, KERNEL_BYTE_HOLDERS, F_RDLCK, 0);
    if (error != 0) {
        KernelFail(KernelErrorFromErrno(error));
        return 0;
    }
    struct stat info;
    int32_t present = KERNEL_KIND_NONE;
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(KernelShared)) ||
        pread(fd, &present, sizeof present, 0) != sizeof present || present != kind) {
        KernelFail(ERROR_INVALID_HANDLE); // the name belongs to another kind of object
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

// Creates (create 1) or opens (create 0) the object of a name. signalled,
// owned and size are the state of a fresh object.
HANDLE KernelAttach(const char* name, int32_t kind, int create, int32_t signalled, int32_t owned,
                    uint32_t size = 0) {
    if (name == nullptr) {
        // An unnamed object is a fresh one nobody else can reach.
        if (!create) {
            KernelFail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        int fd = memfd_create("pelmor-object", MFD_CLOEXEC);
        if (fd < 0 || !KernelCreateFresh(fd, kind, signalled, owned, size)) {
            if (fd >= 0) {
                close(fd);
            } else {
                KernelFail(KernelErrorFromErrno(errno));
            }
            return nullptr;
        }
        kernelLastError = ERROR_SUCCESS;
        return KernelNewHandle(fd, kind, owned);
    }
    char path[4352];
    if (!KernelObjectPath(name, path, sizeof path)) {
        return nullptr;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
        KernelFail(KernelErrorFromErrno(errno));
        return nullptr;
    }
    // An object file of another user could be written by that user.
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid()) {
        KernelFail(ERROR_ACCESS_DENIED);
        close(fd);
        return nullptr;
    }
    int error = KernelLockByte(fd, KERNEL_BYTE_GUARD, F_WRLCK, 1);
    if (error != 0) {
        KernelFail(KernelErrorFromErrno(error));
        close(fd);
        return nullptr;
    }
    int alone = KernelLockByte(fd, KERNEL_BYTE_HOLDERS, F_WRLCK, 0) == 0;
    int ready;
    if (!alone) {
        ready = KernelJoinExisting(fd, kind);
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
        close(fd);
        return nullptr;
    }
    return KernelNewHandle(fd, kind, alone && owned);
}

int KernelIsKind(HANDLE object, int32_t kind) {
    if (object == nullptr || object->kind != kind) {
        KernelFail(ERROR_INVALID_HANDLE);
        return 0;
    }
    return 1;
}

long KernelFutex(std::atomic<int32_t>* word, int operation, int value,
                 const struct timespec* span) {
    return syscall(SYS_futex, reinterpret_cast<int32_t*>(word), operation, value, span, nullptr, 0);
}

DWORD KernelWaitEvent(HANDLE event, DWORD milliseconds) {
    // A set event needs no clock: the receiver tests its stop event so once
    // per message.
    if (event->shared->signalled.load() != 0) {
        return WAIT_OBJECT_0;
    }
    int64_t deadline = KernelDeadline(milliseconds);
    for (;;) {
        if (event->shared->signalled.load() != 0) {
            return WAIT_OBJECT_0;
        }
        int64_t left = deadline - KernelNowNs();
        if (milliseconds != INFINITE && left <= 0) {
            return WAIT_TIMEOUT;
        }
        struct timespec span = KernelSpan(left);
        KernelFutex(&event->shared->signalled, FUTEX_WAIT, 0,
                    milliseconds == INFINITE ? nullptr : &span);
    }
}

DWORD KernelWaitMutex(HANDLE mutex, DWORD milliseconds) {
    int64_t deadline = KernelDeadline(milliseconds);
    while (mutex->owned == 0) {
        int error = KernelLockByte(mutex->fd, KERNEL_BYTE_OWNER, F_WRLCK, 0);
        if (error == 0) {
            break;
        }
        if (error != EAGAIN && error != EACCES) {
            KernelFail(KernelErrorFromErrno(error));
            return WAIT_FAILED;
        }
        int64_t left = deadline - KernelNowNs();
        if (milliseconds != INFINITE && left <= 0) {
            return WAIT_TIMEOUT;
        }
        int64_t poll = KERNEL_MUTEX_POLL_MS * KERNEL_NS_PER_MS;
        struct timespec pause = KernelSpan(milliseconds == INFINITE || left > poll ? poll : left);
        nanosleep(&pause, nullptr);
    }
    if (mutex->owned == INT32_MAX) {
        KernelFail(ERROR_GEN_FAILURE);
        return WAIT_FAILED;
    }
    mutex->owned++;
    return WAIT_OBJECT_0;
}

} // namespace

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    return KernelAttach(name, KERNEL_KIND_MUTEX, 1, 0, initialOwner ? 1 : 0);
}

HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR name) {
    return KernelAttach(name, KERNEL_KIND_MUTEX, 0, 0, 0);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    if (!manualReset) {
        KernelFail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return KernelAttach(name, KERNEL_KIND_EVENT, 1, initialState ? 1 : 0, 0);
}

HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR name) {
    return KernelAttach(name, KERNEL_KIND_EVENT, 0, 0, 0);
}

BOOL WINAPI SetEvent(HANDLE event) {
    if (!KernelIsKind(event, KERNEL_KIND_EVENT)) {
        return FALSE;
    }
    int saved = errno;
    event->shared->signalled.store(1);
    KernelFutex(&event->shared->signalled, FUTEX_WAKE, INT_MAX, nullptr);
    errno = saved;
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    if (!KernelIsKind(event, KERNEL_KIND_EVENT)) {
        return FALSE;
    }
    event->shared->signalled.store(0);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    if (object != nullptr && object->kind == KERNEL_KIND_EVENT) {
        return KernelWaitEvent(object, milliseconds);
    }
    if (object != nullptr && object->kind == KERNEL_KIND_MUTEX) {
        return KernelWaitMutex(object, milliseconds);
    }
    KernelFail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE ||
        (object->kind != KERNEL_KIND_EVENT && object->kind != KERNEL_KIND_MUTEX &&
         object->kind != KERNEL_KIND_MAPPING)) {
        KernelFail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    munmap(object->shared, sizeof(KernelShared));
    close(object->fd); // drops the holder lock and any ownership
    object->kind = KERNEL_KIND_NONE;
    delete object;
    return TRUE;
}

DWORD WINAPI GetLastError(void) {
    return kernelLastError;
}

// cppcheck-suppress constParameter ; the signature is Windows'
HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name) {
    if (file != INVALID_HANDLE_VALUE || protect != PAGE_READWRITE || maximumSizeHigh != 0 ||
        maximumSizeLow == 0) {
        KernelFail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return KernelAttach(name, KERNEL_KIND_MAPPING, 1, 0, 0, maximumSizeLow);
}

HANDLE WINAPI OpenFileMappingA(DWORD, BOOL, LPCSTR name) {
    return KernelAttach(name, KERNEL_KIND_MAPPING, 0, 0, 0);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes) {
    if (!KernelIsKind(mapping, KERNEL_KIND_MAPPING)) {
        return nullptr;
    }
    const uint32_t size = mapping->shared->size;
    if (offsetHigh != 0 || offsetLow != 0 || bytes > size) {
        KernelFail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A file cut short by someone else would fault on access instead of failing here.
    struct stat info;
    const std::size_t length = KERNEL_VIEW_OFFSET + size;
    if (fstat(mapping->fd, &info) != 0 || info.st_size < static_cast<off_t>(length)) {
        KernelFail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const int protection = (access & FILE_MAP_WRITE) != 0 ? PROT_READ | PROT_WRITE : PROT_READ;
    void* map = mmap(nullptr, length, protection, MAP_SHARED, mapping->fd, 0);
    if (map == MAP_FAILED) {
        KernelFail(KernelErrorFromErrno(errno));
        return nullptr;
    }
    return static_cast<char*>(map) + KERNEL_VIEW_OFFSET;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID view) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(view);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    if (view == nullptr || address % page != KERNEL_VIEW_OFFSET) {
        KernelFail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    void* start = reinterpret_cast<void*>(address - KERNEL_VIEW_OFFSET);
    const KernelShared* shared = static_cast<const KernelShared*>(start);
    if (shared->kind != KERNEL_KIND_MAPPING ||
        munmap(start, KERNEL_VIEW_OFFSET + shared->size) != 0) {
        KernelFail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
