// The loopback test helpers over Winsock; a socket travels as an int, as
// Winsock's handles are small numbers.
#include <winsock2.h>

#include <string>

#include "support/loopback.h"

namespace {

// The client keeps its own Winsock reference, so the library's
// CSocketCleanup cannot pull Winsock away from under the tests.
bool LoopbackWinsockStart() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET LoopbackSocket(int fd) {
    return static_cast<SOCKET>(static_cast<intptr_t>(fd));
}

} // namespace

int LoopbackConnect(int port) {
    if (!LoopbackWinsockStart()) {
        return -1;
    }
    const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (client == INVALID_SOCKET) {
        return -1;
    }
    const DWORD waitMillis = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&waitMillis),
               sizeof waitMillis);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(client);
        return -1;
    }
    return static_cast<int>(client);
}

bool LoopbackSend(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent =
            send(LoopbackSocket(fd), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

int LoopbackReceiveByte(int fd) {
    unsigned char byte = 0;
    const int received = recv(LoopbackSocket(fd), reinterpret_cast<char*>(&byte), 1, 0);
    if (received == 1) {
        return byte;
    }
    return received == 0 ? -1 : -2;
}

void LoopbackReset(int fd) {
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(LoopbackSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
               sizeof abortive);
    closesocket(LoopbackSocket(fd));
}
