// NEVTAR communication library: TCP server sockets, a log file and the text of
// the last failure. Plain calls with 32-bit integer results: 0 is success and
// anything else an error code (NEVTAR_ERR_*), except CLogInit (non-zero is
// success) and CGetLastErrorString (non-zero: a failure is pending).
//
// On Windows the library is NEVTAR.dll and its operations are imported by
// ordinal (given with each declaration). The receiver uses nothing of it but
// this header. On Linux it is libnevtar.so, real TCP over POSIX sockets.
//
// Last error: every operation except CGetLastErrorString clears the pending
// failure on entry and sets it when it fails, with the errno of the failed
// system call (EINVAL for a bad argument, ETIMEDOUT for a read time-out) and a
// German text naming the operation. It is kept per thread; the receiver has
// one thread, so it is the last failure of the process.
//
// Signals: a signal handler installed without SA_RESTART interrupts a waiting
// CSocketServerOpen (benign return, see there) and a waiting CSocketRead
// (failure); CSocketRead also with SA_RESTART. CSocketWrite finishes its
// bytes across interruptions.
//
// Windows: nevtar.dll over Winsock 2 behaves the same, except that error
// numbers are Winsock or Win32 codes with Windows' own texts (a read
// time-out is WSAETIMEDOUT, a bad argument still EINVAL), no signal
// interrupts a wait, the listening socket has no SO_REUSEADDR and is not
// inherited, and CSocketCleanup ends the use of Winsock that
// CSocketServerInit began.
#ifndef COMMLIB_NEVTAR_H
#define COMMLIB_NEVTAR_H

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

// Results other than 0. NEVTAR_ERR_NOCONNECTION alone leaves no failure
// pending: CSocketServerOpen's wait ended without a connection.
#define NEVTAR_ERR_ARGUMENT (-1)     // a pointer, port, capacity or length out of range
#define NEVTAR_ERR_SYSTEM (-2)       // a system call failed; errno in the last error
#define NEVTAR_ERR_TIMEOUT (-3)      // CSocketRead: nothing arrived in time
#define NEVTAR_ERR_NOCONNECTION (-4) // CSocketServerOpen: no connection, nothing pending
#define NEVTAR_ERR_LOG (-5)          // the log file could not be opened or written

#ifdef __cplusplus
extern "C" {
#endif

// 17: creates the listening socket and stores it in *listenSocket: IPv4, all
// interfaces, SO_REUSEADDR, close-on-exec. A port outside 0..65535 is
// NEVTAR_ERR_ARGUMENT (never truncated). The bound port is written to
// *boundPort when it is not null, so port 0 reports the port the system chose.
// Linux: for a port other than 0, the listening socket a service manager
// passed this process (LISTEN_PID, LISTEN_FDS) is taken instead, on whatever
// port it listens, and *boundPort is that port; several processes may hold
// and accept on the same one. A passed descriptor that is no listening IPv4
// TCP socket is NEVTAR_ERR_SYSTEM: the port is never bound past the manager.
NEVTAR_API int32_t NEVTAR_CALL CSocketServerInit(NevtarSocket* listenSocket, int32_t port,
                                                 int32_t* boundPort);

// 18: accepts one connection into *connection (set to -1 until then).
// Waits at most waitTenths tenths of a second (20 = 2 s; 0 or less waits
// without limit). When the wait ends without a connection - time-out, a
// signal, or a client that went away before it was taken - the result is
// NEVTAR_ERR_NOCONNECTION and no failure is pending, so the caller simply
// tries again. So it is when the process lacks descriptors or memory to take
// a waiting connection: the call then pauses for its wait (1 s without a
// limit) before it returns, and a later call takes the connection. So it is
// too when another process on the same listening socket took the connection
// first. peerAddress, when not null,
// receives the peer's dotted address: at most 16 bytes, terminated. The connection has TCP_NODELAY
// (a one-byte acknowledgement never waits in the stack) and close-on-exec.
NEVTAR_API int32_t NEVTAR_CALL CSocketServerOpen(NevtarSocket listenSocket,
                                                 NevtarSocket* connection, char* peerAddress,
                                                 int32_t waitTenths);

// 19: closes a socket. An interrupted close still counts as closed.
NEVTAR_API int32_t NEVTAR_CALL CSocketClose(NevtarSocket socket);

// 20: one receive of up to capacity bytes; *count gets the number received.
// timeout is in seconds; 0 or less waits without limit. A time-out
// (NEVTAR_ERR_TIMEOUT), a receive error or a signal (NEVTAR_ERR_SYSTEM) is a
// failure with a pending error. An orderly close by the peer is result 0 with
// count 0. The time-out is set on the socket (SO_RCVTIMEO) and set again
// only when a read asks for another one, so the library remembers it per
// socket: read blocking sockets as CSocketServerOpen hands them out and close
// them with CSocketClose. After a time-out Windows leaves the connection's
// state undefined: close it.
NEVTAR_API int32_t NEVTAR_CALL CSocketRead(NevtarSocket socket, char* buffer, int32_t capacity,
                                           int32_t* count, int32_t timeout);

// 22: sends all length bytes, looping on partial sends; *count gets the number
// sent. Never raises SIGPIPE: a peer that vanished is an error result.
NEVTAR_API int32_t NEVTAR_CALL CSocketWrite(NevtarSocket socket, const char* buffer, int32_t length,
                                            int32_t* count);

// 23: non-zero when a failure is pending; *errorNumber gets its errno and
// text its description, cut to capacity and always terminated. With nothing
// pending, *errorNumber is 0 and text empty. Leaves the failure pending.
NEVTAR_API int32_t NEVTAR_CALL CGetLastErrorString(int32_t* errorNumber, char* text,
                                                   int32_t capacity);

// 24: nothing to release on Linux; always 0.
NEVTAR_API int32_t NEVTAR_CALL CSocketCleanup(void);

// 32: the local IPv4 address as four decimal parts joined by dots: the first
// non-loopback interface that is up, else 127.0.0.1. A capacity too small for
// the address is NEVTAR_ERR_ARGUMENT; nothing is written past capacity.
NEVTAR_API int32_t NEVTAR_CALL CGetLocalIPString(char* text, int32_t capacity);

// 34: non-zero when the log is ready; 0 for an empty name or a file that
// cannot be opened for appending (created with mode 0644 less the umask).
// The log is opened without waiting and only as a regular file, on Linux
// never through a symbolic link of another user than the caller's or root;
// so it is for every entry CLogWrite appends.
// logLevel: entries with a level above it are not written (1 is the most
// important). maxLogSize in kilobytes, 0 or less without limit: when an entry
// would grow the file past it, the file is renamed to NAME.old (replacing an
// older one) and a new one begun.
NEVTAR_API int32_t NEVTAR_CALL CLogInit(const char* fileName, int32_t logLevel, int32_t maxLogSize);

// 35: writes one line, as one append-mode write (entries survive a crash of
// the process and never interleave):
//   2026-05-07 14:30:05.123 [4711] pelmor RcvConSession() L1 E-3 N110 Fehler: ... | extra
// local date and time with milliseconds, [process id], source, function,
// L level, E error code, N further number, message, and " | " with the extra
// text when there is one. Control characters in the texts become blanks so an
// entry stays one line; a line is cut at 1024 bytes. Null texts count as
// empty. Result 0 when written or filtered out, else NEVTAR_ERR_LOG (callers
// may ignore it). Before CLogInit nothing is written.
NEVTAR_API int32_t NEVTAR_CALL CLogWrite(const char* source, const char* function, int32_t level,
                                         int32_t errorCode, int32_t furtherNumber,
                                         const char* message, const char* extraText);

#ifdef __cplusplus
}
#endif

#endif
