// The TCP client of the tools and of the tests that play a client, on the
// platform's sockets: a connection is a small non-negative number on both
// systems.
#ifndef TOOLS_CLIENT_CLIENT_SOCKET_H
#define TOOLS_CLIENT_CLIENT_SOCKET_H

#include <cstddef>

// Room for the reason ClientConnect gives.
constexpr std::size_t CLIENT_WHY_SIZE = 160;

// A connected TCP socket to host and port (IPv4) with TCP_NODELAY, whose
// reads wait at most readTimeoutSeconds; or -1 with a German reason in why.
int ClientConnect(const char* host, const char* port, int readTimeoutSeconds,
                  char (&why)[CLIENT_WHY_SIZE]);

// Sends all bytes; false when the connection failed (never a signal).
bool ClientSend(int connection, const char* data, std::size_t length);

// One byte: the byte, -1 when the peer closed the connection, -2 for an error
// or the time-out.
int ClientReceiveByte(int connection);

// Whether the peer has ended the connection (a receiver that closed an idle
// session at its time-out), seen without waiting and without reading a byte.
bool ClientPeerClosed(int connection);

void ClientClose(int connection);

// Closes so that the peer sees a reset rather than an orderly close.
void ClientReset(int connection);

#endif
