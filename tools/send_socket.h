// pelmor-send's connection to the receiver: the platform's TCP client
// sockets behind plain calls; a connection is a small non-negative number.
#ifndef TOOLS_SEND_SOCKET_H
#define TOOLS_SEND_SOCKET_H

#include <cstddef>

// A connected TCP socket with TCP_NODELAY whose reads wait at most
// readTimeoutSeconds, or -1 with a message on standard error.
int SendSocketConnect(const char* host, const char* port, int readTimeoutSeconds);

// Sends all bytes; false when the connection failed (never a signal).
bool SendSocketWrite(int connection, const char* data, std::size_t length);

// One byte, or -1 when none came (closed, failed or timed out).
int SendSocketReadByte(int connection);

// Whether the receiver has ended the connection (an idle session it closed
// at its time-out), seen without waiting and without reading a byte.
bool SendSocketPeerClosed(int connection);

void SendSocketClose(int connection);

#endif
