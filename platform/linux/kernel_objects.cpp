// The Win32 calls over the Linux kernel objects: named mutexes, manual-reset
// events and file mappings shared between processes, their waits and the
// last error. How an object lives in its file: object_files.cpp.
#include "kernel_internal.h"
#include "kernel_syscalls.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

thread_local DWORD kernelLastError = ERROR_SUCCESS;

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

namespace {

constexpr int64_t KERNEL_MUTEX_POLL_MS = 5;
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
    if (kernelSyscalls.statFile(mapping->fd, &info) != 0 ||
        info.st_size < static_cast<off_t>(length)) {
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
    kernelSyscalls.unmapMemory(reinterpret_cast<void*>(address - KERNEL_VIEW_OFFSET), length);
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
