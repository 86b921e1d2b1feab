// _fsopen on Linux: files are never locked against other processes, so every
// sharing mode behaves as _SH_DENYNO. The descriptor is opened by hand to
// give new files mode 0644 (less the umask) and close-on-exec, and to take
// only a regular file, written only when it is ours or root's, through no
// link of another user anywhere on its path.
#include "platform/share.h"
#include "platform/linux/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* _fsopen(const char* path, const char* mode, int shareFlag) {
    (void)shareFlag;
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int flags = O_CLOEXEC;
    const bool update = std::strchr(mode, '+') != nullptr;
    const char* streamMode = nullptr;
    switch (mode[0]) {
    case 'r':
        flags |= update ? O_RDWR : O_RDONLY;
        streamMode = update ? "r+" : "r";
        break;
    case 'w':
        flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        streamMode = update ? "w+" : "w";
        break;
    case 'a':
        flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        streamMode = update ? "a+" : "a";
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    const int fd = RegularFileOpen(path, flags, 0644);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(fd, streamMode);
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

int _fileno(FILE* stream) {
    return fileno(stream);
}

int _write(int fd, const void* buffer, unsigned int count) {
    ssize_t written;
    do {
        written = write(fd, buffer, count);
    } while (written < 0 && errno == EINTR);
    return static_cast<int>(written);
}

long long _filelengthi64(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

int _chsize_s(int fd, long long size) {
    int result;
    do {
        result = ftruncate(fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int _commit(int fd) {
    int result;
    do {
        result = fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    return result;
}

int ShareIdentifyOpenFile(int fd, ShareFileIdentity* identity) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    identity->volume = status.st_dev;
    identity->index = status.st_ino;
    return 1;
}

int ShareNameLeadsTo(const char* path, const ShareFileIdentity* identity) {
    struct stat status;
    return stat(path, &status) == 0 && status.st_dev == identity->volume &&
           status.st_ino == identity->index;
}

namespace {

// The folder of path (its text up to the last slash, "." when there is none)
// stat-ed, and its last name. 1, or 0 when the folder cannot be told.
int ShareFolderAndName(const char* path, struct stat* folder, const char** name) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        *name = path;
        return stat(".", folder) == 0;
    }
    *name = slash + 1;
    char text[PATH_MAX];
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length >= sizeof text) {
        return 0;
    }
    std::memcpy(text, path, length);
    text[length] = '\0';
    return stat(text, folder) == 0;
}

} // namespace

int ShareSameFile(const char* first, const char* second) {
    struct stat one;
    struct stat other;
    const int firstThere = stat(first, &one) == 0;
    const int secondThere = stat(second, &other) == 0;
    if (firstThere || secondThere) {
        return firstThere && secondThere && one.st_dev == other.st_dev &&
               one.st_ino == other.st_ino;
    }
    const char* firstName = nullptr;
    const char* secondName = nullptr;
    return ShareFolderAndName(first, &one, &firstName) &&
           ShareFolderAndName(second, &other, &secondName) && one.st_dev == other.st_dev &&
           one.st_ino == other.st_ino && std::strcmp(firstName, secondName) == 0;
}

int ShareHoldForLife(const char* path) {
    const int fd = RegularFileOpen(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return error == EAGAIN || error == EACCES ? 0 : -1;
    }
    // The descriptor stays open: the lock lasts as long as the process.
    return 1;
}
