// The log file on Windows: appended through the Win32 file calls, so that
// other programs may read, rename or delete it while it is open.
#include <windows.h>

#include <cstdio>

#include "last_error.h"
#include "log_file.h"
#include "commlib/nevtar.h"

namespace {

// A pipe or a device (NUL, COM1) in the log's place is no log.
HANDLE NevtarLogOpen(const char* fileName) {
    const HANDLE file = CreateFileA(fileName, FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        SetLastError(ERROR_BAD_FILE_TYPE);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Moves a full file aside before an entry of entryBytes would overflow it.
void NevtarLogRotateIfFull(HANDLE& file, const char* fileName, const char* oldName,
                           std::size_t entryBytes, int64_t maxBytes) {
    LARGE_INTEGER size{};
    if (maxBytes <= 0 || !GetFileSizeEx(file, &size) || size.QuadPart == 0 ||
        size.QuadPart + static_cast<int64_t>(entryBytes) <= maxBytes) {
        return;
    }
    if (!MoveFileExA(fileName, oldName, MOVEFILE_REPLACE_EXISTING)) {
        return; // keep writing to the full file rather than lose the entry
    }
    const HANDLE fresh = NevtarLogOpen(fileName);
    if (fresh != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        file = fresh;
    }
}

} // namespace

std::size_t NevtarLogStamp(char* line, std::size_t size) {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    const int length =
        std::snprintf(line, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", local.wYear,
                      local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                      local.wMilliseconds, static_cast<unsigned long>(GetCurrentProcessId()));
    if (length < 0 || size == 0) {
        return 0;
    }
    return static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}

int NevtarLogFileCheck(const char* fileName) {
    const HANDLE file = NevtarLogOpen(fileName);
    if (file == INVALID_HANDLE_VALUE) {
        NevtarFailSystem(static_cast<int>(GetLastError()), "CLogInit: CreateFile");
        return 0;
    }
    CloseHandle(file);
    return 1;
}

int32_t NevtarLogFileAppend(const char* fileName, const char* oldName, const char* entry,
                            std::size_t length, int64_t maxBytes) {
    HANDLE file = NevtarLogOpen(fileName);
    if (file == INVALID_HANDLE_VALUE) {
        NevtarFailSystem(static_cast<int>(GetLastError()), "CLogWrite: CreateFile");
        return NEVTAR_ERR_LOG;
    }
    NevtarLogRotateIfFull(file, fileName, oldName, length, maxBytes);
    DWORD written = 0;
    const BOOL done = WriteFile(file, entry, static_cast<DWORD>(length), &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!done || written != length) {
        NevtarFailSystem(done ? ERROR_WRITE_FAULT : static_cast<int>(error),
                         "CLogWrite: WriteFile");
        return NEVTAR_ERR_LOG;
    }
    return 0;
}
