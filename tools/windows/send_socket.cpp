// pelmor-send's client sockets over Winsock 2. Winsock's socket handles are
// small numbers and travel as int.
#include "send_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdio>

namespace {

SOCKET SendSocketHandle(int connection) {
    return static_cast<SOCKET>(static_cast<intptr_t>(connection));
}

} // namespace

int SendSocketConnect(const char* host, const char* port, int readTimeoutSeconds) {
    WSADATA data{};
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        std::fprintf(stderr, "pelmor-send: Winsock nicht verfuegbar: Fehler %d\n", started);
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const int lookup = getaddrinfo(host, port, &hints, &addresses);
    if (lookup != 0) {
        std::fprintf(stderr, "pelmor-send: Adresse %s nicht gefunden: Fehler %d\n", host, lookup);
        return -1;
    }
    SOCKET connection = INVALID_SOCKET;
    int error = 0;
    for (const addrinfo* entry = addresses; entry != nullptr && connection == INVALID_SOCKET;
         entry = entry->ai_next) {
        connection = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (connection != INVALID_SOCKET &&
            connect(connection, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) != 0) {
            error = WSAGetLastError();
            closesocket(connection);
            connection = INVALID_SOCKET;
        }
    }
    freeaddrinfo(addresses);
    if (connection == INVALID_SOCKET) {
        std::fprintf(stderr, "pelmor-send: keine Verbindung zu %s:%s: Fehler %d\n", host, port,
                     error);
        return -1;
    }
    const BOOL on = TRUE;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    const DWORD waitMillis = static_cast<DWORD>(readTimeoutSeconds) * 1000;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&waitMillis),
               sizeof waitMillis);
    return static_cast<int>(connection);
}

bool SendSocketWrite(int connection, const char* data, std::size_t length) {
    while (length > 0) {
        const int part = length > 65536 ? 65536 : static_cast<int>(length);
        const int sent = send(SendSocketHandle(connection), data, part, 0);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

int SendSocketReadByte(int connection) {
    unsigned char byte = 0;
    const int received = recv(SendSocketHandle(connection), reinterpret_cast<char*>(&byte), 1, 0);
    return received == 1 ? byte : -1;
}

bool SendSocketPeerClosed(int connection) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SendSocketHandle(connection), &readable);
    timeval now{};
    if (select(0, &readable, nullptr, nullptr, &now) != 1) {
        return false; // nothing to read: the connection is open
    }
    char byte = 0;
    return recv(SendSocketHandle(connection), &byte, 1, MSG_PEEK) <= 0;
}

void SendSocketClose(int connection) {
    closesocket(SendSocketHandle(connection));
}
