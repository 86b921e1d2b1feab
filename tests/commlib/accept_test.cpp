// Listening and accepting: the port range, the socket a service manager
// passes, the bounded wait and its benign end, what an accepted connection
// carries.
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "interrupter.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

bool HasCloseOnExec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Listener {
    NevtarSocket socket = -1;
    int32_t port = 0;
};

Listener ListenOnAnyPort() {
    Listener listener;
    EXPECT_EQ(CSocketServerInit(&listener.socket, 0, &listener.port), 0);
    return listener;
}

TEST(CSocketServerInit, PortOutsideTheRangeIsAnErrorNotTruncated) {
    for (const int32_t port : {-1, 65536, 70000}) {
        NevtarSocket socket = 12345;
        int32_t bound = -7;
        EXPECT_EQ(CSocketServerInit(&socket, port, &bound), NEVTAR_ERR_ARGUMENT) << port;
        EXPECT_EQ(socket, 12345);
        EXPECT_EQ(bound, -7);
        int32_t number = 0;
        char text[80];
        EXPECT_NE(CGetLastErrorString(&number, text, sizeof text), 0);
        EXPECT_EQ(number, EINVAL);
        EXPECT_NE(std::strstr(text, "Port"), nullptr) << text;
    }
}

TEST(CSocketServerInit, PortZeroReportsThePortTheSystemChose) {
    NevtarSocket socket = -1;
    int32_t bound = 0;
    ASSERT_EQ(CSocketServerInit(&socket, 0, &bound), 0);
    EXPECT_GT(bound, 0);
    EXPECT_TRUE(HasCloseOnExec(socket));
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);

    const int client = LoopbackConnect(bound);
    EXPECT_GE(client, 0);
    close(client);
    EXPECT_EQ(CSocketClose(socket), 0);
}

TEST(CSocketServerInit, PortInUseIsAFailureWithItsErrno) {
    const Listener first = ListenOnAnyPort();
    NevtarSocket second = -1;
    EXPECT_EQ(CSocketServerInit(&second, first.port, nullptr), NEVTAR_ERR_SYSTEM);
    int32_t number = 0;
    char text[80];
    EXPECT_NE(CGetLastErrorString(&number, text, sizeof text), 0);
    EXPECT_EQ(number, EADDRINUSE);
    CSocketClose(first.socket);
}

// As systemd passes a socket: descriptor 3, LISTEN_PID and LISTEN_FDS. Taken
// only by the process named, on whatever port it listens (the unit's socket
// is where clients come); a passed descriptor that is no listening socket is
// a failure, never a reason to bind the port past the service manager.
TEST(CSocketServerInit, TakesTheListeningSocketPassedForThisProcessOnItsPort) {
    const int kept = fcntl(3, F_DUPFD_CLOEXEC, 100); // whatever the test had there
    const Listener passed = ListenOnAnyPort();
    if (passed.socket != 3) {
        ASSERT_EQ(dup2(passed.socket, 3), 3);
        CSocketClose(passed.socket);
    }
    const Listener other = ListenOnAnyPort();
    CSocketClose(other.socket); // a port free a moment ago
    struct Case {
        long pid;
        int32_t port;
        bool listening; // descriptor 3 is the listening socket, else a plain one
        int32_t result;
        bool taken;
    };
    for (const Case& run : {Case{getpid() + 1L, passed.port, true, NEVTAR_ERR_SYSTEM, false},
                            Case{getpid() + 1L, other.port, true, 0, false},
                            Case{getpid(), other.port, true, 0, true},
                            Case{getpid(), passed.port, false, NEVTAR_ERR_SYSTEM, false},
                            Case{getpid(), passed.port, true, 0, true}}) {
        const int saved = run.listening ? -1 : fcntl(3, F_DUPFD_CLOEXEC, 100);
        if (!run.listening) {
            const int plain = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_EQ(dup2(plain, 3), 3);
            close(plain);
        }
        setenv("LISTEN_PID", std::to_string(run.pid).c_str(), 1);
        setenv("LISTEN_FDS", "1", 1);
        NevtarSocket socket = -1;
        int32_t bound = 0;
        const int32_t result = CSocketServerInit(&socket, run.port, &bound);
        EXPECT_EQ(result, run.result) << run.pid << " " << run.port;
        if (!run.listening) {
            EXPECT_EQ(socket, -1);
            ASSERT_EQ(dup2(saved, 3), 3);
            close(saved);
        }
        if (!run.taken) {
            // Another process's socket: bound anew (the passed one holds its
            // port, so that bind fails); the variables stay.
            EXPECT_NE(socket, 3);
            EXPECT_NE(std::getenv("LISTEN_PID"), nullptr);
            if (result == 0) {
                CSocketClose(socket);
            }
            continue;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(socket, 3);
        EXPECT_EQ(bound, passed.port) << "the socket's port, not the one asked for";
        EXPECT_TRUE(HasCloseOnExec(socket));
        EXPECT_NE(fcntl(socket, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(std::getenv("LISTEN_PID"), nullptr) << "taken once only";
        const int client = LoopbackConnect(passed.port);
        NevtarSocket connection = -1;
        char peer[16] = "";
        EXPECT_EQ(CSocketServerOpen(socket, &connection, peer, 20), 0);
        EXPECT_STREQ(peer, "127.0.0.1");
        close(client);
        CSocketClose(connection);
    }
    CSocketClose(3);
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    if (kept >= 0) {
        dup2(kept, 3);
        close(kept);
    }
}

TEST(CSocketServerOpen, WaitWithoutConnectionEndsBenignlyAfterTwoSeconds) {
    const Listener listener = ListenOnAnyPort();
    NevtarSocket connection = 99;
    char peer[16] = "stale";
    const Clock::time_point start = Clock::now();
    const int32_t result = CSocketServerOpen(listener.socket, &connection, peer, 20);
    const double waited = SecondsSince(start);

    EXPECT_EQ(result, NEVTAR_ERR_NOCONNECTION);
    EXPECT_EQ(connection, -1);
    EXPECT_STREQ(peer, "");
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 10.0);
    CSocketClose(listener.socket);
}

TEST(CSocketServerOpen, SignalDuringTheWaitEndsItBenignly) {
    const Listener listener = ListenOnAnyPort();
    NevtarSocket connection = 99;
    Interrupter interrupter;
    InterrupterStart(&interrupter);
    const Clock::time_point start = Clock::now();
    const int32_t result = CSocketServerOpen(listener.socket, &connection, nullptr, 100);
    const double waited = SecondsSince(start);
    InterrupterStop(&interrupter);

    EXPECT_EQ(result, NEVTAR_ERR_NOCONNECTION);
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
    EXPECT_LT(waited, 5.0);
    CSocketClose(listener.socket);
}

TEST(CSocketServerOpen, AcceptedConnectionCarriesPeerAddressNoDelayAndCloseOnExec) {
    const Listener listener = ListenOnAnyPort();
    const int client = LoopbackConnect(listener.port);
    ASSERT_GE(client, 0);
    NevtarSocket connection = -1;
    char area[20];
    std::memset(area, '#', sizeof area);
    ASSERT_EQ(CSocketServerOpen(listener.socket, &connection, area, 50), 0);

    EXPECT_STREQ(area, "127.0.0.1");
    EXPECT_EQ(area[16], '#');
    int noDelay = 0;
    socklen_t length = sizeof noDelay;
    ASSERT_EQ(getsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_NE(noDelay, 0);
    EXPECT_TRUE(HasCloseOnExec(connection));
    EXPECT_EQ(fcntl(connection, F_GETFL) & O_NONBLOCK, 0);

    close(client);
    EXPECT_EQ(CSocketClose(connection), 0);
    EXPECT_EQ(CSocketClose(listener.socket), 0);
}

TEST(CSocketServerOpen, ClosedOrInvalidListeningSocketIsAFailureNotAWait) {
    const Listener listener = ListenOnAnyPort();
    CSocketClose(listener.socket);
    NevtarSocket connection = 99;
    EXPECT_EQ(CSocketServerOpen(listener.socket, &connection, nullptr, 20), NEVTAR_ERR_SYSTEM);
    EXPECT_NE(CGetLastErrorString(nullptr, nullptr, 0), 0);
    EXPECT_EQ(CSocketServerOpen(-1, &connection, nullptr, 20), NEVTAR_ERR_ARGUMENT);
    EXPECT_NE(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

TEST(CSocketClose, ClosingAnInvalidSocketIsAFailure) {
    EXPECT_EQ(CSocketClose(-1), NEVTAR_ERR_SYSTEM);
    int32_t number = 0;
    EXPECT_NE(CGetLastErrorString(&number, nullptr, 0), 0);
    EXPECT_EQ(number, EBADF);
    EXPECT_EQ(CSocketCleanup(), 0);
    EXPECT_EQ(CGetLastErrorString(&number, nullptr, 0), 0);
    EXPECT_EQ(number, 0);
}

} // namespace
