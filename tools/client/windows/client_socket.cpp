// The TCP client over Winsock 2. Winsock's socket handles are small numbers
// and travel as int.
#include "client/client_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdio>

namespace {

SOCKET ClientHandle(int connection) {
    return static_cast<SOCKET>(static_cast<intptr_t>(connection));
}

// The client keeps its own Winsock reference for the process's life, so a
// library's cleanup in the same process cannot pull Winsock away from it. 0,
// or Winsock's error.
int ClientWinsockStart() {
    static const int started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return started;
}

} // namespace

int ClientConnect(const char* host, const char* port, int readTimeoutSeconds,
                  char (&why)[CLIENT_WHY_SIZE]) {
    const int started = ClientWinsockStart();
    if (started != 0) {
        std::snprintf(why, sizeof why, "Winsock nicht verfuegbar: Fehler %d", started);
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const int lookup = getaddrinfo(host, port, &hints, &addresses);
    if (lookup != 0) {
        std::snprintf(why, sizeof why, "Adresse %s nicht gefunden: Fehler %d", host, lookup);
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
        std::snprintf(why, sizeof why, "keine Verbindung zu %s:%s: Fehler %d", host, port, error);
        return -1;
    }
    const BOOL on = TRUE;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    const DWORD waitMillis = static_cast<DWORD>(readTimeoutSeconds) * 1000;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&waitMillis),
               sizeof waitMillis);
    return static_cast<int>(connection);
}

bool ClientSend(int connection, const char* data, std::size_t length) {
    while (length > 0) {
        const int part = length > 65536 ? 65536 : static_cast<int>(length);
        const int sent = send(ClientHandle(connection), data, part, 0);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

int ClientReceiveByte(int connection) {
    unsigned char byte = 0;
    const int received = recv(ClientHandle(connection), reinterpret_cast<char*>(&byte), 1, 0);
    if (received == 1) {
        return byte;
    }
    return received == 0 ? -1 : -2;
}

bool ClientPeerClosed(int connection) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ClientHandle(connection), &readable);
    timeval now{};
    if (select(0, &readable, nullptr, nullptr, &now) != 1) {
        return false; // nothing to read: the connection is open
    }
    char byte = 0;
    return recv(ClientHandle(connection), &byte, 1, MSG_PEEK) <= 0;
}

void ClientClose(int connection) {
    closesocket(ClientHandle(connection));
}

void ClientReset(int connection) {
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(ClientHandle(connection), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&abortive), sizeof abortive);
    closesocket(ClientHandle(connection));
}
