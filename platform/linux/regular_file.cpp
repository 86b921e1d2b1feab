#include "platform/linux/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int REGULAR_FILE_LINKS_MAX = 8;

// The open of one name that is not followed if it is a link (ELOOP then).
int RegularFileOpenHere(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int RegularFileKeepIfRegular(int fd) {
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        return fd;
    }
    close(fd);
    errno = EINVAL;
    return -1;
}

// Replaces path (capacity bytes) by the target of the link it names, when the
// link belongs to us or root: the link is held open itself, so its owner and
// its target are read from the same link. 1, or 0 with errno.
int RegularFileFollowOwnLink(char* path, size_t capacity) {
    const int link = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0) {
        return 0;
    }
    struct stat status;
    char target[PATH_MAX];
    ssize_t length = -1;
    if (fstat(link, &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            errno = ELOOP; // too many links among the folders of the path
        } else if (status.st_uid != geteuid() && status.st_uid != 0) {
            errno = EACCES;
        } else {
            length = readlinkat(link, "", target, sizeof target - 1);
        }
    }
    const int error = errno;
    close(link);
    if (length < 0) {
        errno = error;
        return 0;
    }
    target[length] = '\0';
    // A relative target is taken from the folder the link lies in.
    const char* slash = std::strrchr(path, '/');
    const int folder =
        target[0] == '/' || slash == nullptr ? 0 : static_cast<int>(slash - path) + 1;
    char joined[PATH_MAX];
    const int written = std::snprintf(joined, sizeof joined, "%.*s%s", folder, path, target);
    if (written < 0 || static_cast<size_t>(written) >= capacity ||
        static_cast<size_t>(written) >= sizeof joined) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(path, joined, static_cast<size_t>(written) + 1);
    return 1;
}

} // namespace

int RegularFileOpen(const char* path, int flags, mode_t mode) {
    char current[PATH_MAX];
    const int written = std::snprintf(current, sizeof current, "%s", path);
    if (written < 0 || static_cast<size_t>(written) >= sizeof current) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int links = 0; links <= REGULAR_FILE_LINKS_MAX; ++links) {
        const int fd = RegularFileOpenHere(current, flags, mode);
        if (fd >= 0) {
            return RegularFileKeepIfRegular(fd);
        }
        if (errno != ELOOP || !RegularFileFollowOwnLink(current, sizeof current)) {
            return -1;
        }
    }
    errno = ELOOP;
    return -1;
}
