#include "platform/linux/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Links followed in one path, as the kernel allows.
constexpr int REGULAR_FILE_LINKS_MAX = 40;

// A path being walked: the folder reached so far, held open (or the working
// folder, which needs no descriptor, so a plain name costs none more than an
// open), and what is left of the path from there.
struct RegularFileWalk {
    int folder;
    int links;
    char rest[PATH_MAX];
};

int RegularFileTrusted(uid_t owner) {
    return owner == geteuid() || owner == 0;
}

int RegularFileFail(int error) {
    errno = error;
    return 0;
}

// Starts at the working folder, or at the root for an absolute path. 1, or
// 0 with errno.
int RegularFileBegin(RegularFileWalk* walk, const char* path) {
    walk->links = 0;
    const int written = std::snprintf(walk->rest, sizeof walk->rest, "%s", path);
    if (written < 0 || static_cast<size_t>(written) >= sizeof walk->rest) {
        return RegularFileFail(ENAMETOOLONG);
    }
    if (written == 0) {
        return RegularFileFail(ENOENT);
    }
    walk->folder = path[0] == '/' ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : AT_FDCWD;
    return walk->folder != -1;
}

void RegularFileEnd(const RegularFileWalk* walk) {
    if (walk->folder != AT_FDCWD) {
        const int error = errno;
        close(walk->folder);
        errno = error;
    }
}

// Moves into the folder now open as next.
void RegularFileEnter(RegularFileWalk* walk, int next) {
    RegularFileEnd(walk);
    walk->folder = next;
}

// Copies the first name of rest into name and drops it, with the slashes
// after it, from rest. 1, or 0 with errno.
int RegularFileTakeName(RegularFileWalk* walk, char (&name)[NAME_MAX + 1]) {
    size_t start = 0;
    while (walk->rest[start] == '/') {
        ++start;
    }
    size_t end = start;
    while (walk->rest[end] != '\0' && walk->rest[end] != '/') {
        ++end;
    }
    if (end == start) {
        return RegularFileFail(EISDIR); // the path ends in a folder, not a file
    }
    if (end - start > NAME_MAX) {
        return RegularFileFail(ENAMETOOLONG);
    }
    std::memcpy(name, walk->rest + start, end - start);
    name[end - start] = '\0';
    while (walk->rest[end] == '/') {
        ++end;
    }
    std::memmove(walk->rest, walk->rest + end, std::strlen(walk->rest + end) + 1);
    return 1;
}

// Puts the target of the link held open as link in front of rest, when the
// link belongs to us or root; an absolute target starts again from the
// root, a relative one from the folder the link is in. The link is read
// from the descriptor whose owner was checked, so no other link can slip in
// between. Closes link. 1, or 0 with errno.
int RegularFileSplice(RegularFileWalk* walk, int link) {
    struct stat status;
    char target[PATH_MAX];
    ssize_t length = -1;
    int error = ENOTDIR;
    if (fstat(link, &status) != 0) {
        error = errno;
    } else if (S_ISLNK(status.st_mode) && !RegularFileTrusted(status.st_uid)) {
        error = EACCES;
    } else if (S_ISLNK(status.st_mode)) {
        length = readlinkat(link, "", target, sizeof target - 1);
        error = length == 0 ? ENOENT : errno;
    }
    close(link);
    if (length <= 0) {
        return RegularFileFail(error);
    }
    if (++walk->links > REGULAR_FILE_LINKS_MAX) {
        return RegularFileFail(ELOOP);
    }
    target[length] = '\0';
    char joined[PATH_MAX];
    const int written = std::snprintf(joined, sizeof joined, "%s%s%s", target,
                                      walk->rest[0] != '\0' ? "/" : "", walk->rest);
    if (written < 0 || static_cast<size_t>(written) >= sizeof joined) {
        return RegularFileFail(ENAMETOOLONG);
    }
    std::memcpy(walk->rest, joined, static_cast<size_t>(written) + 1);
    if (target[0] == '/') {
        const int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (root < 0) {
            return 0;
        }
        RegularFileEnter(walk, root);
    }
    return 1;
}

// Walks folder by folder to the folder of the path's last name, which is
// left in name. Each folder is opened without following a link; a link is
// read through its own descriptor and followed only when it belongs to us
// or root. 1, or 0 with errno.
int RegularFileToLastFolder(RegularFileWalk* walk, char (&name)[NAME_MAX + 1]) {
    for (;;) {
        if (!RegularFileTakeName(walk, name)) {
            return 0;
        }
        if (walk->rest[0] == '\0') {
            return 1;
        }
        const int next = openat(walk->folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat status;
        if (next < 0 || fstat(next, &status) != 0) {
            const int error = errno;
            if (next >= 0) {
                close(next);
            }
            return RegularFileFail(error);
        }
        if (S_ISDIR(status.st_mode)) {
            RegularFileEnter(walk, next);
        } else if (!RegularFileSplice(walk, next)) {
            return 0;
        }
    }
}

// The open of the last name, not followed if it is a link (ELOOP then).
int RegularFileOpenHere(const RegularFileWalk* walk, const char* name, int flags, mode_t mode) {
    int fd;
    do {
        fd = openat(walk->folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Only a regular file; and one written only when it is ours or root's, so
// that records never land in a file its owner could read or cut.
int RegularFileKeep(int fd, int flags) {
    struct stat status;
    int error = EINVAL;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        if ((flags & O_ACCMODE) == O_RDONLY || RegularFileTrusted(status.st_uid)) {
            return fd;
        }
        error = EACCES;
    }
    close(fd);
    errno = error;
    return -1;
}

} // namespace

int RegularFileOpen(const char* path, int flags, mode_t mode) {
    RegularFileWalk walk;
    if (!RegularFileBegin(&walk, path)) {
        return -1;
    }
    char name[NAME_MAX + 1];
    int fd = -1;
    while (RegularFileToLastFolder(&walk, name)) {
        fd = RegularFileOpenHere(&walk, name, flags, mode);
        if (fd >= 0) {
            fd = RegularFileKeep(fd, flags);
            break;
        }
        if (errno != ELOOP) {
            break;
        }
        const int link = openat(walk.folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link < 0 || !RegularFileSplice(&walk, link)) {
            break;
        }
    }
    RegularFileEnd(&walk);
    return fd;
}

int RegularFileRename(const char* from, const char* to) {
    RegularFileWalk fromWalk;
    RegularFileWalk toWalk;
    char fromName[NAME_MAX + 1];
    char toName[NAME_MAX + 1];
    if (!RegularFileBegin(&fromWalk, from)) {
        return -1;
    }
    if (!RegularFileToLastFolder(&fromWalk, fromName) || !RegularFileBegin(&toWalk, to)) {
        RegularFileEnd(&fromWalk);
        return -1;
    }
    int result = -1;
    if (RegularFileToLastFolder(&toWalk, toName)) {
        result = renameat(fromWalk.folder, fromName, toWalk.folder, toName);
    }
    RegularFileEnd(&toWalk);
    RegularFileEnd(&fromWalk);
    return result;
}
