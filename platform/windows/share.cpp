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
    identity->index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                      information.nFileIndexLow;
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

// Opened for no access at all, so it never conflicts with the open stream.
int ShareNameLeadsTo(const char* path, const ShareFileIdentity* identity) {
    const HANDLE file =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    ShareFileIdentity present{};
    const int known = ShareIdentityOfHandle(file, &present);
    CloseHandle(file);
    return known && present.volume == identity->volume && present.index == identity->index;
}
