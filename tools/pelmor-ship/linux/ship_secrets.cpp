// The files of the shipper's secrets and certificates, checked before they
// are used: by pelmor-ship at its start and by pelmorctl check.
#include "pelmor-ship/ship_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int ShipSecretFileProblem(int32_t setting, const char* path, std::string* why) {
    const std::string named = std::string(ShipEntry(setting).paramToken) + " " + path;
    // Never waits: a FIFO in the file's place is not opened for good.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = named +
               (errno == ENOENT ? " fehlt" : std::string(" nicht lesbar: ") + std::strerror(errno));
        return 1;
    }
    struct stat info {};
    const bool secret = setting == SHIP_NATSCREDS || setting == SHIP_NATSKEY;
    char text[128] = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        std::snprintf(text, sizeof text, " ist keine gewoehnliche Datei");
    } else if (secret && (info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        std::snprintf(text, sizeof text,
                      " ist fuer andere lesbar oder beschreibbar (Modus %04o); chmod o-rwx",
                      static_cast<unsigned>(info.st_mode & 07777));
    } else if (setting == SHIP_NATSCREDS) {
        // A credentials file holds the user's JWT and its NKEY seed.
        static char content[65536];
        ssize_t length = 0;
        ssize_t got = 0;
        while (length < static_cast<ssize_t>(sizeof content - 1) &&
               (got = read(fd, content + length, sizeof content - 1 - length)) > 0) {
            length += got;
        }
        content[length] = '\0';
        if (std::strstr(content, "BEGIN NATS USER JWT") == nullptr ||
            std::strstr(content, "NKEY SEED") == nullptr) {
            std::snprintf(text, sizeof text,
                          " ist keine Credentials-Datei (JWT und NKEY-Seed erwartet)");
        }
    }
    close(fd);
    if (text[0] == '\0') {
        return 0;
    }
    *why = named + text;
    return 1;
}
