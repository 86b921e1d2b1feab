// Base types of the platform API. On Windows the real <windows.h>; on Linux
// the few types and spellings the system's code uses, with Windows' widths.
#ifndef PLATFORM_WIN32_BASE_H
#define PLATFORM_WIN32_BASE_H

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstddef>
#include <cstdint>

#define WINAPI
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef std::size_t SIZE_T;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef struct PlatformObject* HANDLE; // points to a record whose first field is its kind
typedef struct PlatformObject* HINSTANCE;
typedef struct SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
#endif

#endif
