// The namespace directory of the kernel objects and the names in it. Where
// it is, who may use it and why it is locked: docs/architecture.md.
#include "kernel_internal.h"
#include "kernel_syscalls.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The owner a folder shows inside a user namespace when its real owner has
// no mapping there (the kernel's overflow uid), or -1 where that cannot be:
// in the initial namespace every uid is mapped. Such folders are those the
// namespace was made in (/, /tmp, ...), which no one inside can own.
long KernelUnmappedOwner() {
    static long unmapped = -2;
    if (unmapped != -2) {
        return unmapped;
    }
    unmapped = -1;
    long overflow = 65534;
    if (std::FILE* file = std::fopen("/proc/sys/kernel/overflowuid", "r")) {
        if (std::fscanf(file, "%ld", &overflow) != 1) {
            overflow = 65534;
        }
        std::fclose(file);
    }
    std::FILE* map = std::fopen("/proc/self/uid_map", "r");
    if (map == nullptr) {
        return unmapped;
    }
    unsigned long inside = 0;
    unsigned long outside = 0;
    unsigned long count = 0;
    bool mapped = false;
    while (std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3) {
        const unsigned long uid = static_cast<unsigned long>(overflow);
        mapped = mapped || (uid >= inside && uid - inside < count);
    }
    std::fclose(map);
    unmapped = mapped ? -1 : overflow;
    return unmapped;
}

// Every folder the directory's name passes through, as written, belongs to
// this user or root (in a user namespace: or to no one mapped there) and
// lets no one else rename its entries (writable by others only with the
// sticky bit, as /tmp): else another user could swap the directory for one
// of theirs. 1, or 0.
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
        const int seen = kernelSyscalls.statPath(prefix, &info);
        prefix[i] = '/';
        prefix[i + 1] = kept;
        const bool system =
            info.st_uid == 0 || static_cast<long>(info.st_uid) == KernelUnmappedOwner();
        if (seen != 0 || (info.st_uid != geteuid() && !system) ||
            ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)) {
            return 0;
        }
    }
    return 1;
}

} // namespace

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
    if (create && kernelSyscalls.makeDir(dir, 0700) != 0 && errno != EEXIST) {
        KernelFail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : KernelErrorFromErrno(errno));
        return -1;
    }
    const int fd = kernelSyscalls.openDir(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        KernelFail(!create && errno == ENOENT ? ERROR_FILE_NOT_FOUND : KernelErrorFromErrno(errno));
        return -1;
    }
    // Another user's directory (say a planted /tmp/pelmor-<uid>) is not ours
    // to use, nor one where others may put or replace the object files.
    struct stat info;
    if (kernelSyscalls.statFile(fd, &info) != 0 || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        KernelFail(ERROR_ACCESS_DENIED);
        kernelSyscalls.closeFile(fd);
        return -1;
    }
    int locked;
    do {
        locked = kernelSyscalls.lockWhole(fd, LOCK_SH);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        KernelFail(KernelErrorFromErrno(errno));
        kernelSyscalls.closeFile(fd);
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
