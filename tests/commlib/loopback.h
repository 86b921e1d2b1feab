// Test helpers: a client on 127.0.0.1, a scratch directory, whole files.
#ifndef TESTS_LOOPBACK_H
#define TESTS_LOOPBACK_H

#include <string>

// A connected client socket with a 5-second receive time-out, or -1.
int LoopbackConnect(int port);

// Sends all bytes; false when the connection failed.
bool LoopbackSend(int fd, const std::string& bytes);

// One byte from fd: the byte, -1 for an orderly close, -2 for an error or
// the time-out.
int LoopbackReceiveByte(int fd);

// Closes fd so that the peer sees a reset rather than an orderly close.
void LoopbackReset(int fd);

// A fresh directory under the system's temporary directory; removed again by
// LoopbackRemoveDirectory.
std::string LoopbackMakeDirectory();
void LoopbackRemoveDirectory(const std::string& path);

// The whole file, or "" when it cannot be read.
std::string LoopbackReadFile(const std::string& path);

#endif
