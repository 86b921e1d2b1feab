// Runs a command in a network namespace of its own with only loopback, up:
// the documents' examples use the receiver's default port, which another
// receiver on this machine may hold. Unprivileged callers get a user
// namespace that maps them to root inside, so they may make the network one.
// Where the kernel refuses that, it exits 77, which the test takes as a skip.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The exit code CTest takes for a skipped test (SKIP_RETURN_CODE).
constexpr int kNetnsSkipped = 77;

bool NetnsWrite(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto length = static_cast<ssize_t>(std::strlen(text));
    const bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    return written;
}

bool NetnsEnter() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (uid == 0) {
        return unshare(CLONE_NEWNET) == 0;
    }
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return false;
    }
    char map[64];
    std::snprintf(map, sizeof map, "0 %u 1\n", static_cast<unsigned>(uid));
    if (!NetnsWrite("/proc/self/uid_map", map) || !NetnsWrite("/proc/self/setgroups", "deny")) {
        return false;
    }
    std::snprintf(map, sizeof map, "0 %u 1\n", static_cast<unsigned>(gid));
    return NetnsWrite("/proc/self/gid_map", map);
}

bool NetnsLoopbackUp() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("Aufruf: netns_run BEFEHL [ARGUMENTE]\n", stderr);
        return 2;
    }
    if (!NetnsEnter()) {
        // A kernel or container that refuses the namespaces (chroot, no
        // unprivileged user namespaces, none left) is a machine that lacks
        // them: the test skips, saying why. Any other error is a fault.
        const int error = errno;
        const bool refused = error == EPERM || error == EACCES || error == ENOSPC;
        std::fprintf(stderr, "netns_run: %skein eigener Netz-Namensraum: %s\n",
                     refused ? "UEBERSPRUNGEN, " : "", std::strerror(error));
        return refused ? kNetnsSkipped : 1;
    }
    if (!NetnsLoopbackUp()) {
        std::fprintf(stderr, "netns_run: Loopback nicht aktiv: %s\n", std::strerror(errno));
        return 1;
    }
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "netns_run: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
}
