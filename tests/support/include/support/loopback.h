// A test client on 127.0.0.1. A socket travels as an int on both systems.
#ifndef TESTS_SUPPORT_LOOPBACK_H
#define TESTS_SUPPORT_LOOPBACK_H

#include <string>

#include "protocol/wire.h"

// A connected client socket with a 5-second receive time-out, or -1.
int LoopbackConnect(int port);

// Sends all bytes; false when the connection failed.
bool LoopbackSend(int fd, const std::string& bytes);

// One byte from fd: the byte, -1 for an orderly close, -2 for an error or
// the time-out.
int LoopbackReceiveByte(int fd);

// Sends one message and returns the acknowledgement byte; -1 when the
// connection ended or nothing came in time.
int LoopbackSendMessage(int fd, const std::string& message);

// Sends the end byte that ends the session; false when the connection failed.
bool LoopbackEndSession(int fd);

// Closes fd so that the peer sees a reset rather than an orderly close.
void LoopbackReset(int fd);

// A port that was free a moment ago on 127.0.0.1 (Linux), or -1.
int LoopbackFreePort();

#endif
