// TCP server sockets over Winsock 2: listen, accept with a bounded wait, one
// receive per read (its time-out set on the socket, so a read is one call),
// complete sends, close.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdio>

#include "last_error.h"
#include "commlib/nevtar.h"
#include "read_timeouts.h"
#include "socket_arguments.h"

namespace {

constexpr int NEVTAR_LISTEN_BACKLOG = 16;
// Pause of an accept without a time limit that lacks sockets or buffers.
constexpr DWORD NEVTAR_RESOURCE_PAUSE_MS = 1000;

bool winsockStarted = false;

// The library hands sockets out as 32 bits; Winsock's are small numbers,
// and sign extension keeps -1 as INVALID_SOCKET on 64-bit Windows.
SOCKET NevtarToSocket(NevtarSocket socket) {
    return static_cast<SOCKET>(static_cast<intptr_t>(socket));
}

int32_t NevtarFailWinsock(const char* what) {
    return NevtarFailSystem(WSAGetLastError(), what);
}

int32_t NevtarWinsockStart() {
    if (winsockStarted) {
        return 0;
    }
    WSADATA data{};
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        return NevtarFailSystem(error, "WSAStartup");
    }
    winsockStarted = true;
    return 0;
}

// Waits until the socket is readable: 1 ready, 0 time-out, -1 failure.
// units of millisPerUnit; 0 or less waits without limit.
int NevtarWaitReadable(SOCKET socket, int32_t units, int32_t millisPerUnit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait{};
    const int64_t millis = static_cast<int64_t>(units) * millisPerUnit;
    wait.tv_sec = static_cast<long>(millis / 1000);
    wait.tv_usec = static_cast<long>(millis % 1000 * 1000);
    const int ready = select(0, &readable, nullptr, nullptr, units > 0 ? &wait : nullptr);
    return ready == SOCKET_ERROR ? -1 : (ready > 0 ? 1 : 0);
}

// SO_RCVTIMEO's milliseconds for a time-out in seconds, 0 for no limit; a
// time-out beyond what the DWORD holds (about 49 days) waits that long.
DWORD NevtarReceiveMillis(int32_t seconds) {
    const uint64_t millis = static_cast<uint64_t>(seconds) * 1000;
    return millis < MAXDWORD ? static_cast<DWORD>(millis) : MAXDWORD - 1;
}

bool NevtarAcceptIsTransient(int errorNumber) {
    // The client went away between the wait and the accept.
    return errorNumber == WSAEWOULDBLOCK || errorNumber == WSAECONNRESET ||
           errorNumber == WSAECONNABORTED || errorNumber == WSAEINTR;
}

// Out of sockets or buffers for now: the connection waits in the backlog
// until some are free again.
bool NevtarAcceptLacksResources(int errorNumber) {
    return errorNumber == WSAEMFILE || errorNumber == WSAENOBUFS;
}

int32_t NevtarSetBlocking(SOCKET socket, bool blocking, const char* what) {
    u_long nonBlocking = blocking ? 0 : 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        return NevtarFailWinsock(what);
    }
    return 0;
}

} // namespace

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketServerInit(NevtarSocket* listenSocket,
                                                            int32_t port, int32_t* boundPort) {
    if (NevtarEnterServerInit(listenSocket, port) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    if (NevtarWinsockStart() != 0) {
        return NEVTAR_ERR_SYSTEM;
    }
    // Not inherited by child processes, and no SO_REUSEADDR: Windows listens
    // again after a restart without it, and with it another program could
    // take over the port. Overlapped, as socket() makes them: accepted
    // sockets take it over, and only on those does SO_RCVTIMEO end a recv.
    const SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (listener == INVALID_SOCKET) {
        return NevtarFailWinsock("CSocketServerInit: socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = WSAGetLastError();
        closesocket(listener);
        char what[48];
        std::snprintf(what, sizeof what, "CSocketServerInit: bind Port %ld",
                      static_cast<long>(port));
        return NevtarFailSystem(error, what);
    }
    if (listen(listener, NEVTAR_LISTEN_BACKLOG) != 0) {
        const int error = WSAGetLastError();
        closesocket(listener);
        return NevtarFailSystem(error, "CSocketServerInit: listen");
    }
    // Non-blocking, so an accept after a vanished client returns at once.
    if (NevtarSetBlocking(listener, false, "CSocketServerInit: ioctlsocket") != 0) {
        closesocket(listener);
        return NEVTAR_ERR_SYSTEM;
    }
    if (boundPort != nullptr) {
        int length = sizeof address;
        if (getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            const int error = WSAGetLastError();
            closesocket(listener);
            return NevtarFailSystem(error, "CSocketServerInit: getsockname");
        }
        *boundPort = ntohs(address.sin_port);
    }
    *listenSocket = static_cast<NevtarSocket>(listener);
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketServerOpen(NevtarSocket listenSocket,
                                                            NevtarSocket* connection,
                                                            char* peerAddress, int32_t waitTenths) {
    if (NevtarEnterServerOpen(listenSocket, connection, peerAddress) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    const SOCKET listener = NevtarToSocket(listenSocket);
    const int ready = NevtarWaitReadable(listener, waitTenths, 100);
    if (ready == 0) {
        return NEVTAR_ERR_NOCONNECTION;
    }
    if (ready < 0) {
        return NevtarFailWinsock("CSocketServerOpen: select");
    }
    sockaddr_in peer{};
    int peerLength = sizeof peer;
    const SOCKET accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (accepted == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        if (NevtarAcceptIsTransient(error)) {
            return NEVTAR_ERR_NOCONNECTION;
        }
        if (NevtarAcceptLacksResources(error)) {
            // The waiting connection keeps the socket readable, so the next
            // call would fail at once again: the wait is spent pausing.
            Sleep(waitTenths > 0 ? static_cast<DWORD>(waitTenths) * 100 : NEVTAR_RESOURCE_PAUSE_MS);
            return NEVTAR_ERR_NOCONNECTION;
        }
        return NevtarFailSystem(error, "CSocketServerOpen: accept");
    }
    // An accepted socket inherits the listener's non-blocking mode; reads and
    // writes wait on their own terms.
    const BOOL on = TRUE;
    if (NevtarSetBlocking(accepted, true, "CSocketServerOpen: ioctlsocket") != 0) {
        closesocket(accepted);
        return NEVTAR_ERR_SYSTEM;
    }
    if (setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
        const int error = WSAGetLastError();
        closesocket(accepted);
        return NevtarFailSystem(error, "CSocketServerOpen: TCP_NODELAY");
    }
    if (peerAddress != nullptr) {
        const auto* parts = reinterpret_cast<const unsigned char*>(&peer.sin_addr);
        std::snprintf(peerAddress, 16, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    }
    // The number may have been closed behind the library's back: whatever
    // time-out was remembered for it is not this socket's.
    NevtarReadTimeoutForget(static_cast<NevtarSocket>(accepted));
    *connection = static_cast<NevtarSocket>(accepted);
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketClose(NevtarSocket socket) {
    NevtarClearError();
    NevtarReadTimeoutForget(socket);
    if (closesocket(NevtarToSocket(socket)) != 0) {
        return NevtarFailWinsock("CSocketClose");
    }
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketRead(NevtarSocket socket, char* buffer,
                                                      int32_t capacity, int32_t* count,
                                                      int32_t timeout) {
    if (NevtarEnterRead(buffer, capacity, count) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    const SOCKET connection = NevtarToSocket(socket);
    const int32_t seconds = NevtarReadSeconds(timeout);
    if (NevtarReadTimeoutIsSet(socket, seconds) == 0) {
        const DWORD millis = NevtarReceiveMillis(seconds);
        if (setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&millis),
                       sizeof millis) != 0) {
            NevtarReadTimeoutForget(socket);
            return NevtarFailWinsock("CSocketRead: SO_RCVTIMEO");
        }
        NevtarReadTimeoutRemember(socket, seconds);
    }
    const int received = recv(connection, buffer, capacity, 0);
    if (received == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAETIMEDOUT) {
            return NevtarFail(NEVTAR_ERR_TIMEOUT, WSAETIMEDOUT, "CSocketRead: keine Daten in %ld s",
                              static_cast<long>(seconds));
        }
        return NevtarFailSystem(error, "CSocketRead: recv");
    }
    *count = received;
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketWrite(NevtarSocket socket, const char* buffer,
                                                       int32_t length, int32_t* count) {
    if (NevtarEnterWrite(buffer, length, count) != 0) {
        return NEVTAR_ERR_ARGUMENT;
    }
    const SOCKET connection = NevtarToSocket(socket);
    int32_t sent = 0;
    while (sent < length) {
        const int part = send(connection, buffer + sent, length - sent, 0);
        if (part == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (count != nullptr) {
                *count = sent;
            }
            return NevtarFailSystem(error, "CSocketWrite: send");
        }
        sent += part;
    }
    if (count != nullptr) {
        *count = sent;
    }
    return 0;
}

extern "C" NEVTAR_API int32_t NEVTAR_CALL CSocketCleanup(void) {
    NevtarClearError();
    if (!winsockStarted) {
        return 0;
    }
    winsockStarted = false;
    if (WSACleanup() != 0) {
        return NevtarFailWinsock("CSocketCleanup: WSACleanup");
    }
    return 0;
}
