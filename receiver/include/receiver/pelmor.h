// pelmor, the upload receiver: takes text messages over TCP, appends each as a
// fixed-width record to the buffer file and acknowledges it with one byte.
#ifndef PELMOR_H
#define PELMOR_H

#include <cstdint>

#include "commlib/nevtar.h"

// Settings and state, one per process: filled by PelmorInit, read by all else.
struct ReceiverContext {
    NevtarSocket listenSocket;
    int32_t port;          // decimal value of portText
    int32_t timeout;       // TIMEOUT, passed unchanged to every CSocketRead
    int32_t logLevel;      // ERRLEVEL
    int32_t maxLogSize;    // MAXLOGSIZE
    char localIP[16];      // 15 characters after FormatIPString
    char portText[6];      // UPLPORT
    char logFileName[101]; // LOGDATEI
    char bufferFileName[101]; // BUFFDATEI
    int32_t syncRecords;      // SYNC: each record on stable storage before "1"
};

constexpr int32_t PELMOR_MESSAGE_MAX = 512; // bytes of one message
constexpr int32_t PELMOR_RECORD_LENGTH = 551; // characters of a record, line feed included
constexpr int32_t PELMOR_DISK_RECORD_LENGTH = 552; // bytes on disk: the line feed as CR LF
constexpr int32_t PELMOR_LOGTEXT_SIZE = 80;   // the shared message buffer

// Sequence number of the last record: 0 at the start of a session, then
// 1..999, 0, 1, ...
extern uint32_t PelmorRecordCounter;
// The calendar time the last record's stamp was made from; -1 when the
// record carries the zero stamp.
extern int64_t PelmorRecordTime;

// Log messages are formatted here before CLogWrite; CGetLastErrorString
// writes its text here too.
extern char PelmorMessageBuffer[PELMOR_LOGTEXT_SIZE];

// Serves one accepted connection until it ends. 1 when the session ran,
// 0 when the buffer file cannot be opened (nothing is read then). Does not
// close the connection.
int RcvConSession(ReceiverContext* context, NevtarSocket connection);

// Builds one record of exactly 551 characters ending in a line feed into
// record (capacity is the record's length without its terminator; record
// must hold capacity + 1 bytes; a smaller capacity cuts the record, a
// negative one writes nothing). Whatever the context holds: the port column
// is the last five digits of the port value, localIP is cut to 15 characters.
// 1, or 0 when the local time could not be formatted (the record then
// carries the zero timestamp).
int FormatRcvMsg(ReceiverContext* context, const char* message, char* record, int32_t capacity);

// Rewrites a dotted IPv4 text in place as 15 characters, three digits per part.
// text is the 16-byte localIP field; it is read no further than its
// terminator or 16 bytes, and missing parts count as 0.
void FormatIPString(char* text);

// Lifecycle: each 1 for success, 0 for failure.
int PelmorInit(const char* commandLine, ReceiverContext* context);
int PelmorWork(ReceiverContext* context);
int PelmorExit(ReceiverContext* context);

#endif
