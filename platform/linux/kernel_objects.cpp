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
// Every named handle holds a shared BSD lock on the directory: cleaners of
// old files (systemd-tmpfiles) skip a locked directory, so the files of a
// receiver that runs for months in /tmp are not aged out under it.
// Nothing read from an object file is trusted for a length: a mapping's size
// is read and checked once, when a handle is made, and a view is unmapped by
// the length this process mapped. A file cut short under a mapping (by its
// own user; no one else may write it) must not kill the process with SIGBUS:
// a guard puts private zeroed memory in place of the whole mapping, and the
// process goes on with that object detached from the others.
#include "platform/kernel_objects.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/file.h>
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
    int dirFd; // the namespace directory, BSD-locked shared; -1 for an unnamed object
    KernelShared* shared;
    int32_t owned; // mutex: times this handle has taken ownership
    uint32_t size; // mapping: bytes of memory, as checked when the handle was made
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
    case ENOTDIR:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Every folder the directory's name passes through, as written, belongs to
// this user or root and lets no one else rename its entries (writable by
// others only with the sticky bit, as /tmp): else another user could swap
// the directory for one of theirs. 1, or 0.
int KernelFoldersTrusted(const char* dir) {
    char prefix[4096];
    const int length = std::snprintf(prefix, sizeof prefix, "%s", dir);
    if (length < 0 || static_cast<size_t>(length) >= sizeof prefix) {
        return 0;
    }
    for (int i = length - 1; i >= 0; --i) {
        if (prefix[i] != '/' || i == length - 1 || (i > 0 && prefix[i - 1] == '/')) {
            continue;
        }
        const char kept = prefix[i + 1];
        prefix[i + 1] = '\0'; // "/" itself for i == 0
        if (i > 0) {
            prefix[i] = '\0';
        }
        struct stat info;
        const int seen = stat(prefix, &info);
        prefix[i] = '/';
        prefix[i + 1] = kept;
        if (seen != 0 || (info.st_uid != geteuid() && info.st_uid != 0) ||
            ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)) {
            return 0;
        }
    }
    return 1;
}

// The namespace directory, opened and locked shared against cleaners of old
// files; create makes it 0700 when missing. Opening an object never makes
// it: a directory that is not there holds no object (a service manager
// removes it when the service ends). The descriptor, or -1 with the last
// error set (ERROR_FILE_NOT_FOUND for a missing directory when opening).
int KernelNamespaceDir(int create) {
    const char* own = std::getenv("PELMOR_RUNTIME_DIR");
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    char dir[4096];
    int length;
    if (own != nullptr && own[0] != '\0') {
        length = std::snprintf(dir, sizeof dir, "%s", own);
    } else if (xdg != nullptr && xdg[0] != '\0') {
        length = std::snprintf(dir, sizeof dir, "%s/pelmor", xdg);
    } else {
        length = std::snprintf(dir, sizeof dir, "/tmp/pelmor-%u", static_cast<unsigned>(getuid()));
    }
    if (length < 0 || static_cast<size_t>(length) >= sizeof dir) {
        KernelFail(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    if (!KernelFoldersTrusted(dir)) {
        KernelFail(ERROR_ACCESS_DENIED);
        return -1;
    }
    if (create && mkdir(dir, 0700) != 0 && errno != EEXIST) {
        KernelFail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : KernelErrorFromErrno(errno));
        return -1;
    }
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        KernelFail(!create && errno == ENOENT ? ERROR_FILE_NOT_FOUND : KernelErrorFromErrno(errno));
        return -1;
    }
    // Another user's directory (say a planted /tmp/pelmor-<uid>) is not ours
    // to use, nor one where others may put or replace the object files.
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        KernelFail(ERROR_ACCESS_DENIED);
        close(fd);
        return -1;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_SH);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        KernelFail(KernelErrorFromErrno(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// A name that is one file in the directory. 1, or 0 with the last error set.
int KernelNameValid(const char* name) {
    if (name[0] == '\0' || std::strchr(name, '/') != nullptr || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        KernelFail(ERROR_INVALID_NAME);
        return 0;
    }
    if (std::strlen(name) > NAME_MAX) {
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

constexpr int KERNEL_RANGES_MAX = 64;
constexpr uintptr_t KERNEL_RANGE_FREE = 0;
constexpr uintptr_t KERNEL_RANGE_CLAIMED = 1; // being filled in

// Every mapping of an object file this process holds: the guard reads them
// in signal context, so each field is a lock-free atomic, and start is
// published after length.
struct KernelRange {
    std::atomic<uintptr_t> start;
    std::atomic<size_t> length;
};
static_assert(std::atomic<uintptr_t>::is_always_lock_free, "read in signal context");
static_assert(std::atomic<size_t>::is_always_lock_free, "read in signal context");

KernelRange kernelRanges[KERNEL_RANGES_MAX];
struct sigaction kernelBusBefore; // the action the guard stands in front of
std::atomic<int> kernelBusGuarded{0};

// SIGBUS: an access beyond the end of a file cut short under its mapping.
void KernelBusGuard(int signalNumber, siginfo_t* info, void* context) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (KernelRange& range : kernelRanges) {
        const uintptr_t start = range.start.load();
        const size_t length = range.length.load();
        if (start > KERNEL_RANGE_CLAIMED && address >= start && address - start < length) {
            const int saved = errno;
            void* placed = mmap(reinterpret_cast<void*>(start), length, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            errno = saved;
            if (placed != MAP_FAILED) {
                return; // the access is made again, now in memory of our own
            }
            break;
        }
    }
    if ((kernelBusBefore.sa_flags & SA_SIGINFO) != 0 && kernelBusBefore.sa_sigaction != nullptr) {
        kernelBusBefore.sa_sigaction(signalNumber, info, context);
    } else if (kernelBusBefore.sa_handler != SIG_DFL && kernelBusBefore.sa_handler != SIG_IGN) {
        kernelBusBefore.sa_handler(signalNumber);
    } else {
        // Not ours: the fault recurs and takes the default action.
        signal(SIGBUS, SIG_DFL);
    }
}

int KernelGuardBus() {
    if (kernelBusGuarded.load() != 0) {
        return 1;
    }
    struct sigaction guard {};
    guard.sa_sigaction = KernelBusGuard;
    guard.sa_flags = SA_SIGINFO;
    sigemptyset(&guard.sa_mask);
    if (sigaction(SIGBUS, &guard, &kernelBusBefore) != 0) {
        return 0;
    }
    kernelBusGuarded.store(1);
    return 1;
}

// Notes a mapping for the guard. 1, or 0 when the table is full.
int KernelRangeAdd(void* start, size_t length) {
    if (!KernelGuardBus()) {
        return 0;
    }
    for (KernelRange& range : kernelRanges) {
        uintptr_t expected = KERNEL_RANGE_FREE;
        if (range.start.compare_exchange_strong(expected, KERNEL_RANGE_CLAIMED)) {
            range.length.store(length);
            range.start.store(reinterpret_cast<uintptr_t>(start));
            return 1;
        }
    }
    return 0;
}

// The length mapped at start, and the entry freed; 0 for no mapping of ours.
size_t KernelRangeTake(const void* start) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(start);
    for (KernelRange& range : kernelRanges) {
        uintptr_t expected = address;
        if (address > KERNEL_RANGE_CLAIMED &&
            range.start.compare_exchange_strong(expected, KERNEL_RANGE_CLAIMED)) {
            const size_t length = range.length.load();
            range.start.store(KERNEL_RANGE_FREE);
            return length;
        }
    }
    return 0;
}

// mmap of an object file, guarded. The memory, or null with the last error set.
void* KernelMap(int fd, size_t length, int protection) {
    void* map = mmap(nullptr, length, protection, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        KernelFail(KernelErrorFromErrno(errno));
        return nullptr;
    }
    if (!KernelRangeAdd(map, length)) {
        munmap(map, length);
        KernelFail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return map;
}

void KernelUnmap(const void* start) {
    const size_t length = KernelRangeTake(start);
    if (length != 0) {
        munmap(const_cast<void*>(start), length);
    }
}

void KernelCloseDescriptors(int fd, int dirFd) {
    close(fd);
    if (dirFd >= 0) {
        close(dirFd);
    }
}

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
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, length) != 0 ||
        pwrite(fd, &fresh, sizeof fresh, 0) != static_cast<ssize_t>(sizeof fresh)) {
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
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(KernelShared)) ||
        pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) || head[0] != kind) {
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
        return KernelNewHandle(fd, -1, kind, owned, size);
    }
    if (!KernelNameValid(name)) {
        return nullptr;
    }
    const int dirFd = KernelNamespaceDir(create);
    if (dirFd < 0) {
        return nullptr;
    }
    int fd = openat(dirFd, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
        KernelFail(KernelErrorFromErrno(errno));
        close(dirFd);
        return nullptr;
    }
    // An object file of another user, or one that group or others may write
    // (restored from a backup, say), could be reset or cut by them.
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() ||
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

// The file's own record too: a file cut under its mapping reads as zeros
// (see the guard), and the object is then no longer one that others share.
int KernelIsKind(HANDLE object, int32_t kind) {
    if (object == nullptr || object->kind != kind || object->shared->kind != kind) {
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
        return KernelIsKind(object, KERNEL_KIND_EVENT) ? KernelWaitEvent(object, milliseconds)
                                                       : WAIT_FAILED;
    }
    if (object != nullptr && object->kind == KERNEL_KIND_MUTEX) {
        return KernelIsKind(object, KERNEL_KIND_MUTEX) ? KernelWaitMutex(object, milliseconds)
                                                       : WAIT_FAILED;
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
    KernelUnmap(object->shared);
    // Drops the holder lock and any ownership, and the directory's lock.
    KernelCloseDescriptors(object->fd, object->dirFd);
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
    if (offsetHigh != 0 || offsetLow != 0 || bytes > mapping->size) {
        KernelFail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A file cut short since would fault on access instead of failing here.
    struct stat info;
    const std::size_t length = KERNEL_VIEW_OFFSET + mapping->size;
    if (fstat(mapping->fd, &info) != 0 || info.st_size < static_cast<off_t>(length)) {
        KernelFail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const int protection = (access & FILE_MAP_WRITE) != 0 ? PROT_READ | PROT_WRITE : PROT_READ;
    void* map = KernelMap(mapping->fd, length, protection);
    return map == nullptr ? nullptr : static_cast<char*>(map) + KERNEL_VIEW_OFFSET;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID view) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(view);
    const size_t length =
        address > KERNEL_VIEW_OFFSET
            ? KernelRangeTake(reinterpret_cast<const void*>(address - KERNEL_VIEW_OFFSET))
            : 0;
    if (length == 0) {
        KernelFail(ERROR_INVALID_PARAMETER); // no view of this process
        return FALSE;
    }
    munmap(reinterpret_cast<void*>(address - KERNEL_VIEW_OFFSET), length);
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
