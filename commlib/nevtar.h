// NEVTAR communication library: TCP server sockets, a log file and the text of
// the last failure. Plain calls with 32-bit integer results: 0 is success and
// anything else an error code, except CLogInit (non-zero is success) and
// CGetLastErrorString (non-zero: a failure is pending).
//
// On Windows the library is NEVTAR.dll and its operations are imported by
// ordinal (given with each declaration). The receiver uses nothing of it but
// this header.
#ifndef NEVTAR_H
#define NEVTAR_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(NEVTAR_BUILDING)
#define NEVTAR_API __declspec(dllexport)
#else
#define NEVTAR_API __declspec(dllimport)
#endif
#define NEVTAR_CALL __stdcall
#else
#define NEVTAR_API __attribute__((visibility("default")))
#define NEVTAR_CALL
#endif

// A socket as the library hands it out: 32 bits on every platform (on Linux a
// file descriptor, on Windows the Winsock SOCKET).
typedef int32_t NevtarSocket;

#ifdef __cplusplus
extern "C" {
#endif

// 17: creates the listening socket and stores it in *listenSocket.
NEVTAR_API int32_t NEVTAR_CALL CSocketServerInit(NevtarSocket* listenSocket, int32_t port,
                                                 int32_t* boundPort);

// 18: accepts one connection into *connection; peerAddress receives at most 16 bytes.
NEVTAR_API int32_t NEVTAR_CALL CSocketServerOpen(NevtarSocket listenSocket,
                                                 NevtarSocket* connection, char* peerAddress,
                                                 int32_t waitTenths);

// 19
NEVTAR_API int32_t NEVTAR_CALL CSocketClose(NevtarSocket socket);

// 20: one receive of up to capacity bytes; *count gets the number received.
NEVTAR_API int32_t NEVTAR_CALL CSocketRead(NevtarSocket socket, char* buffer, int32_t capacity,
                                           int32_t* count, int32_t timeout);

// 22: sends length bytes; *count gets the number sent.
NEVTAR_API int32_t NEVTAR_CALL CSocketWrite(NevtarSocket socket, const char* buffer,
                                            int32_t length, int32_t* count);

// 23: non-zero when a failure is pending; *errorNumber and text describe it.
NEVTAR_API int32_t NEVTAR_CALL CGetLastErrorString(int32_t* errorNumber, char* text,
                                                   int32_t capacity);

// 24
NEVTAR_API int32_t NEVTAR_CALL CSocketCleanup(void);

// 32: the local IPv4 address as four decimal parts joined by dots.
NEVTAR_API int32_t NEVTAR_CALL CGetLocalIPString(char* text, int32_t capacity);

// 34: non-zero when the log is ready.
NEVTAR_API int32_t NEVTAR_CALL CLogInit(const char* fileName, int32_t logLevel,
                                        int32_t maxLogSize);

// 35: the result carries nothing; callers ignore it.
NEVTAR_API int32_t NEVTAR_CALL CLogWrite(const char* source, const char* function,
                                         int32_t level, int32_t errorCode,
                                         int32_t furtherNumber, const char* message,
                                         const char* extraText);

#ifdef __cplusplus
}
#endif

#endif
