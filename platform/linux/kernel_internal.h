// What the files of the Linux kernel objects share: the object's record, its
// file's layout, and the steps each file provides to the others.
//
// Every name is a file in the namespace directory (runtime_dir.cpp); its
// existence as an object is carried by locks on bytes of that file
// (object_files.cpp), its state lives in the file itself, mapped shared
// under the SIGBUS guard (guarded_map.cpp), and kernel_objects.cpp gives the
// Win32 calls over them. Where the folder is and why: docs/architecture.md.
#ifndef PLATFORM_LINUX_KERNEL_INTERNAL_H
#define PLATFORM_LINUX_KERNEL_INTERNAL_H

#include "platform/kernel_objects.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr int32_t KERNEL_KIND_NONE = 0; // a closed record
constexpr int32_t KERNEL_KIND_MUTEX = 0x4D555458;
constexpr int32_t KERNEL_KIND_EVENT = 0x45564E54;
constexpr int32_t KERNEL_KIND_MAPPING = 0x4D415050;

constexpr off_t KERNEL_BYTE_GUARD = 0;
constexpr off_t KERNEL_BYTE_HOLDERS = 1;
constexpr off_t KERNEL_BYTE_OWNER = 2;

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

// What a HANDLE points to; kind comes first so a handle's kind can be told.
struct PlatformObject {
    int32_t kind;
    int fd;
    int dirFd; // the namespace directory, BSD-locked shared; -1 for an unnamed object
    KernelShared* shared;
    int32_t owned; // mutex: times this handle has taken ownership
    uint32_t size; // mapping: bytes of memory, as checked when the handle was made
};

// kernel_objects.cpp: the calling thread's last error.
extern thread_local DWORD kernelLastError;
void KernelFail(DWORD error);
DWORD KernelErrorFromErrno(int error);

// runtime_dir.cpp: the namespace directory and the names in it.
int KernelNamespaceDir(int create);
int KernelNameValid(const char* name);

// guarded_map.cpp: mappings of object files under the SIGBUS guard.
void* KernelMap(int fd, size_t length, int protection);
void KernelUnmap(const void* start);
size_t KernelRangeTake(const void* start);

// object_files.cpp: an object's file, its lock bytes and its handles.
int KernelLockByte(int fd, off_t byte, short type, int wait);
void KernelCloseDescriptors(int fd, int dirFd);
HANDLE KernelAttach(const char* name, int32_t kind, int create, int32_t signalled, int32_t owned,
                    uint32_t size = 0);

#endif
