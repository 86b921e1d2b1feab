// Whether an open file still bears its name, on Windows: a file is known by
// its volume serial number and its file index.
#include "platform/share.h"

#include <windows.h>

namespace {

int ShareIdentityOfHandle(HANDLE file, ShareFileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        return 0;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->index =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return 1;
}

} // namespace

int ShareIdentifyOpenFile(int fd, ShareFileIdentity* identity) {
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) {
        return 0;
    }
    return ShareIdentityOfHandle(file, identity);
}

// The stream was opened without FILE_SHARE_DELETE, so while it is open no
// one can rename or delete its file: the name still leads to it, and the
// check costs no call per record.
int ShareNameLeadsTo(const char* path, const ShareFileIdentity* identity) {
    (void)path;
    (void)identity;
    return 1;
}

int ShareSameFile(const char* first, const char* second) {
    char one[MAX_PATH];
    char other[MAX_PATH];
    const DWORD oneLength = GetFullPathNameA(first, sizeof one, one, nullptr);
    const DWORD otherLength = GetFullPathNameA(second, sizeof other, other, nullptr);
    return oneLength > 0 && oneLength < sizeof one && otherLength > 0 &&
           otherLength < sizeof other && lstrcmpiA(one, other) == 0;
}

int ShareHoldForLife(const char* path) {
    // Left open on purpose: the handle is the hold, until the process ends.
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        return 1;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? 0 : -1;
}
