// The pending failure shared by the library's operations.
#ifndef COMMLIB_LAST_ERROR_H
#define COMMLIB_LAST_ERROR_H

#include <cstdint>

// Called on entry of every operation but CGetLastErrorString.
void NevtarClearError();

// Records a failure: errorNumber is the system's number for it, the text is
// formatted like printf and cut to the stored size. Returns result, so a
// failing operation can end with `return NevtarFail(...)`.
int32_t NevtarFail(int32_t result, int errorNumber, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// NEVTAR_ERR_SYSTEM with the system's text of errorNumber appended after
// ": " (errno on Linux; a Win32 or Winsock error code on Windows).
int32_t NevtarFailSystem(int errorNumber, const char* what);

#endif
