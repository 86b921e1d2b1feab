// The TCP client over POSIX sockets.
#include "client/client_socket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int ClientConnect(const char* host, const char* port, int readTimeoutSeconds,
                  char (&why)[CLIENT_WHY_SIZE]) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const int lookup = getaddrinfo(host, port, &hints, &addresses);
    if (lookup != 0) {
        std::snprintf(why, sizeof why, "Adresse %s nicht gefunden: %s", host, gai_strerror(lookup));
        return -1;
    }
    int fd = -1;
    int error = 0;
    for (const addrinfo* entry = addresses; entry != nullptr && fd < 0; entry = entry->ai_next) {
        fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (fd >= 0 && connect(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
            error = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        std::snprintf(why, sizeof why, "keine Verbindung zu %s:%s: %s", host, port,
                      std::strerror(error));
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval wait{};
    wait.tv_sec = readTimeoutSeconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

bool ClientSend(int connection, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = send(connection, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
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
    ssize_t received = 0;
    do {
        received = recv(connection, &byte, 1, 0);
    } while (received < 0 && errno == EINTR);
    if (received == 1) {
        return byte;
    }
    return received == 0 ? -1 : -2;
}

bool ClientPeerClosed(int connection) {
    unsigned char byte = 0;
    ssize_t peeked = 0;
    do {
        peeked = recv(connection, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void ClientClose(int connection) {
    close(connection);
}

void ClientReset(int connection) {
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(connection);
}
