// Named kernel objects shared between processes: mutexes, manual-reset
// events and file mappings (shared memory), with Windows' names, values and
// meanings; and the calling process's id.
//
// Linux: an object exists while a process holds a handle to it, so a killed
// process leaves nothing stale. Of two processes creating one name at once
// exactly one creates it; the other gets ERROR_ALREADY_EXISTS and a handle to
// the same object (an event keeps its state). Opening a name in a missing
// runtime folder is ERROR_FILE_NOT_FOUND. SetEvent and ResetEvent are
// async-signal-safe. Where the objects live and who may use them: the named
// objects in docs/architecture.md.
//
// Limits of the Linux objects: events are manual-reset only (an auto-reset
// request fails with ERROR_INVALID_PARAMETER); a mutex is owned by a handle,
// not by a thread, and stays owned until that handle is closed (there is no
// ReleaseMutex). Handles are not inherited across exec; a child made by fork
// shares its parent's handles until it exits. A file mapping is only what
// Windows makes without a file of the caller's (INVALID_HANDLE_VALUE,
// PAGE_READWRITE): memory of a fixed size, zero-filled when made, viewed
// whole from offset 0; as on Windows, a view keeps the object alive after
// its handle is closed.
#ifndef PLATFORM_KERNEL_OBJECTS_H
#define PLATFORM_KERNEL_OBJECTS_H

#include "platform/win32_base.h"

#if !defined(_WIN32)
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INVALID_NAME 123
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTEX_ALL_ACCESS 0x001F0001u

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(-1))
#define PAGE_READWRITE 0x04u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
HANDLE WINAPI OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCSTR name);
HANDLE WINAPI OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE object);
DWORD WINAPI GetLastError(void);

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name);
HANDLE WINAPI OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes);
BOOL WINAPI UnmapViewOfFile(LPCVOID view);

DWORD WINAPI GetCurrentProcessId(void);
#endif

#endif
