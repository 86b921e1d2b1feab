// TCP server sockets over POSIX: listen (or take the listening socket a
// service manager passed), accept with a bounded wait, one receive per read
// (its time-out set on the socket, so a read is one system call), complete
// sends, close.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "last_error.h"
#include "commlib/nevtar.h"
#include "read_timeouts.h"
#include "socket_arguments.h"

namespace {

constexpr int NEVTAR_LISTEN_BACKLOG = 16;
// Pause of an accept without a time limit that lacks descriptors or memory.
constexpr int NEVTAR_RESOURCE_PAUSE_MS = 1000;
constexpr time_t NEVTAR_UNLIMITED_READ_SLICE = time_t{24} * 60 * 60; // a day

// poll() time-out in milliseconds from a count of units; 0 or less: no limit.
int NevtarPollMillis(int32_t units, int64_t millisPerUnit) {
    if (units <= 0) {
        return -1;
    }
    const int64_t millis = static_cast<int64_t>(units) * millisPerUnit;
    return millis > INT_MAX ? INT_MAX : static_cast<int>(millis);
}

// Waits until fd is readable: 1 ready, 0 time-out, -1 failure with errno set
// (EINTR included: a signal ends the wait).
int NevtarWaitReadable(int fd, int millis) {
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    const int ready = poll(&entry, 1, millis);
    return ready > 0 ? 1 : ready;
}

// A receive time-out of seconds on fd; 0 stands for no limit, set as a day:
// with any time-out set, a signal ends a waiting receive even when its
// handler asks for restarted calls, so "no limit" keeps that promise too.
int NevtarSetReceiveTimeout(int fd, int32_t seconds) {
    timeval wait{};
    wait.tv_sec = seconds > 0 ? seconds : NEVTAR_UNLIMITED_READ_SLICE;
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

bool NevtarAcceptIsTransient(int errorNumber) {
    // The client went away between the wait and the accept, or a signal came.
    return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == ECONNABORTED ||
           errorNumber == EINTR || errorNumber == EPROTO;
}

// Out of descriptors or memory for now: the connection waits in the backlog
// until some are free again.
bool NevtarAcceptLacksResources(int errorNumber) {
    return errorNumber == EMFILE || errorNumber == ENFILE || errorNumber == ENOBUFS ||
           errorNumber == ENOMEM;
}

// The first descriptor systemd passes to an activated service.
constexpr int NEVTAR_PASSED_FD = 3;

// A whole decimal number of the environment, or -1.
long NevtarEnvironmentNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || text[0] < '0' || text[0] > '9') {
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' ? value : -1;
}

bool NevtarSocketOption(int fd, int option, int expected) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value == expected;
}

// The listening socket systemd holds for this process (socket activation:
// $LISTEN_PID is this process, $LISTEN_FDS at least 1). It is taken on
// whatever port it listens (the unit's socket says where clients come; the
// port asked for is the parameter file's), made non-blocking and
// close-on-exec as a socket made here, and the variables are removed so that
// nothing takes it twice. Several processes may hold the same socket: each
// accepts the connections the others have not taken. 1 taken (*fd, *port),
// 0 none passed (the caller binds its own, as without a service manager),
// -1 passed but not a listening IPv4 TCP socket: binding the port instead
// would take it past the service manager, so that is a failure.
int NevtarPassedListener(int* fd, int32_t* port) {
    if (NevtarEnvironmentNumber("LISTEN_PID") != static_cast<long>(getpid()) ||
        NevtarEnvironmentNumber("LISTEN_FDS") < 1) {
        return 0;
    }
    const int passed = NEVTAR_PASSED_FD;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (!NevtarSocketOption(passed, SO_DOMAIN, AF_INET) ||
        !NevtarSocketOption(passed, SO_TYPE, SOCK_STREAM) ||
        !NevtarSocketOption(passed, SO_ACCEPTCONN, 1) ||
        getsockname(passed, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        length != sizeof address) {
        return -1;
    }
    const int flags = fcntl(passed, F_GETFL);
    if (flags < 0 || fcntl(passed, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(passed, F_SETFD, FD_CLOEXEC) != 0) {
        return -1;
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    *fd = passed;
    *port = ntohs(address.sin_port);
    return 1;
}

} // namespace

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketServerInit(NevtarSocket* listenSocket,
                                                            int32_t port, int32_t* boundPort) {
    if (NevtarEnterServerInit(listenSocket, port) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    // Port 0 asks for a fresh port: never one that was passed.
    if (port != 0) {
        int passed = -1;
        int32_t passedPort = 0;
        const int taken = NevtarPassedListener(&passed, &passedPort);
        if (taken < 0) {
            return NevtarFail(NEVTAR_ERR_SYSTEM, ENOTSOCK,
                              "CSocketServerInit: Deskriptor %d des Dienstes ist kein "
                              "lauschender IPv4-TCP-Socket",
                              NEVTAR_PASSED_FD);
        }
        if (taken > 0) {
            if (boundPort != nullptr) {
                *boundPort = passedPort;
            }
            *listenSocket = passed;
            return 0;
        }
    }
    // Non-blocking, so an accept after a vanished client returns at once.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return NevtarFailSystem(errno, "CSocketServerInit: socket");
    }
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        const int error = errno;
        close(fd);
        return NevtarFailSystem(error, "CSocketServerInit: setsockopt");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        return NevtarFail(NEVTAR_ERR_SYSTEM, error, "CSocketServerInit: bind Port %ld: %s",
                          static_cast<long>(port), std::strerror(error));
    }
    if (listen(fd, NEVTAR_LISTEN_BACKLOG) != 0) {
        const int error = errno;
        close(fd);
        return NevtarFailSystem(error, "CSocketServerInit: listen");
    }
    if (boundPort != nullptr) {
        socklen_t length = sizeof address;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            const int error = errno;
            close(fd);
            return NevtarFailSystem(error, "CSocketServerInit: getsockname");
        }
        *boundPort = ntohs(address.sin_port);
    }
    *listenSocket = fd;
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketServerOpen(NevtarSocket listenSocket,
                                                            NevtarSocket* connection,
                                                            char* peerAddress, int32_t waitTenths) {
    if (NevtarEnterServerOpen(listenSocket, connection, peerAddress) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    const int ready = NevtarWaitReadable(listenSocket, NevtarPollMillis(waitTenths, 100));
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return NEVTAR_ERR_NOCONNECTION;
    }
    if (ready < 0) {
        return NevtarFailSystem(errno, "CSocketServerOpen: poll");
    }
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int fd =
        accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) {
        if (NevtarAcceptIsTransient(errno)) {
            return NEVTAR_ERR_NOCONNECTION;
        }
        if (NevtarAcceptLacksResources(errno)) {
            // The waiting connection keeps the socket readable, so the next
            // call would fail at once again: the wait is spent pausing (a
            // signal ends the pause).
            poll(nullptr, 0,
                 waitTenths > 0 ? NevtarPollMillis(waitTenths, 100) : NEVTAR_RESOURCE_PAUSE_MS);
            return NEVTAR_ERR_NOCONNECTION;
        }
        return NevtarFailSystem(errno, "CSocketServerOpen: accept");
    }
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        const int error = errno;
        close(fd);
        return NevtarFailSystem(error, "CSocketServerOpen: TCP_NODELAY");
    }
    if (peerAddress != nullptr) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        std::snprintf(peerAddress, 16, "%s", text);
    }
    // The number may have been closed behind the library's back: whatever
    // time-out was remembered for it is not this socket's.
    NevtarReadTimeoutForget(fd);
    *connection = fd;
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketClose(NevtarSocket socket) {
    NevtarClearError();
    NevtarReadTimeoutForget(socket);
    // Linux releases the descriptor even when close is interrupted; retrying
    // could close a descriptor another call has just been given.
    if (close(socket) != 0 && errno != EINTR) {
        return NevtarFailSystem(errno, "CSocketClose");
    }
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketRead(NevtarSocket socket, char* buffer,
                                                      int32_t capacity, int32_t* count,
                                                      int32_t timeout) {
    if (NevtarEnterRead(buffer, capacity, count) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    const int32_t seconds = NevtarReadSeconds(timeout);
    if (NevtarReadTimeoutIsSet(socket, seconds) == 0) {
        if (NevtarSetReceiveTimeout(socket, seconds) != 0) {
            NevtarReadTimeoutForget(socket);
            return NevtarFailSystem(errno, "CSocketRead: SO_RCVTIMEO");
        }
        NevtarReadTimeoutRemember(socket, seconds);
    }
    for (;;) {
        const ssize_t received = recv(socket, buffer, static_cast<size_t>(capacity), 0);
        if (received >= 0) {
            *count = static_cast<int32_t>(received);
            return 0;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return NevtarFailSystem(errno, "CSocketRead: recv");
        }
        if (seconds > 0) {
            return NevtarFail(NEVTAR_ERR_TIMEOUT, ETIMEDOUT, "CSocketRead: keine Daten in %ld s",
                              static_cast<long>(seconds));
        }
        // No limit: the day's slice ran out (or the socket does not block);
        // wait until something comes, then receive again.
        if (NevtarWaitReadable(socket, -1) < 0) {
            return NevtarFailSystem(errno, "CSocketRead: poll");
        }
    }
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketWrite(NevtarSocket socket, const char* buffer,
                                                       int32_t length, int32_t* count) {
    if (NevtarEnterWrite(buffer, length, count) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    int32_t sent = 0;
    while (sent < length) {
        const ssize_t part =
            send(socket, buffer + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (part < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            if (count != nullptr) {
                *count = sent;
            }
            return NevtarFailSystem(error, "CSocketWrite: send");
        }
        sent += static_cast<int32_t>(part);
    }
    if (count != nullptr) {
        *count = sent;
    }
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketCleanup(void) {
    NevtarClearError();
    return 0;
}
