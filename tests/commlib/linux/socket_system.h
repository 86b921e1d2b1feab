// The Linux socket calls and error numbers the shared connection tests need.
#ifndef TESTS_COMMLIB_LINUX_SOCKET_SYSTEM_H
#define TESTS_COMMLIB_LINUX_SOCKET_SYSTEM_H

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

constexpr int32_t SOCKET_SYSTEM_TIMED_OUT = ETIMEDOUT;

// A write to a peer that reset the connection.
inline bool SocketSystemIsReset(int32_t number) {
    return number == EPIPE || number == ECONNRESET;
}

// A SIGPIPE from such a write would end the test process.
inline void SocketSystemPipeSignalKills() {
    std::signal(SIGPIPE, SIG_DFL);
}

inline void SocketSystemClose(int socket) {
    close(socket);
}

inline long SocketSystemReceive(int socket, char* buffer, int capacity) {
    return recv(socket, buffer, static_cast<size_t>(capacity), 0);
}

#endif
