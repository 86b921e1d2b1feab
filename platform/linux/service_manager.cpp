// systemd's readiness protocol without libsystemd: one datagram to the Unix
// socket that $NOTIFY_SOCKET names.
#include "platform/service_manager.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int PlatformNotifyServiceManager(const char* state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0' || state == nullptr) {
        return 0;
    }
    sockaddr_un address{};
    const std::size_t length = std::strlen(name);
    // Only a path or an abstract name that fits, never one cut short.
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof address.sun_path) {
        return 0;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const socklen_t addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/'));
    const int saved = errno;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int sent = 0;
    if (fd >= 0) {
        const std::size_t bytes = std::strlen(state);
        sent = sendto(fd, state, bytes, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                      addressLength) == static_cast<ssize_t>(bytes);
        close(fd);
    }
    errno = saved;
    return sent;
}
