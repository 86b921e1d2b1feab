// The Winsock calls and error numbers the shared connection tests need.
#ifndef TESTS_COMMLIB_WINDOWS_SOCKET_SYSTEM_H
#define TESTS_COMMLIB_WINDOWS_SOCKET_SYSTEM_H

#include <winsock2.h>

#include <cstdint>

constexpr int32_t SOCKET_SYSTEM_TIMED_OUT = WSAETIMEDOUT;

// A write to a peer that reset the connection.
inline bool SocketSystemIsReset(int32_t number) {
    return number == WSAECONNRESET || number == WSAECONNABORTED;
}

// Windows raises no signal for such a write.
inline void SocketSystemPipeSignalKills() {}

inline void SocketSystemClose(int socket) {
    closesocket(static_cast<SOCKET>(socket));
}

inline long SocketSystemReceive(int socket, char* buffer, int capacity) {
    return recv(static_cast<SOCKET>(socket), buffer, capacity, 0);
}

#endif
