// The receiver's settings and state, one per process.
#ifndef RECEIVER_CONTEXT_H
#define RECEIVER_CONTEXT_H

#include <cstdint>

#include "commlib/nevtar.h"
#include "protocol/record.h"

// Filled by PelmorInit, read by all else.
struct ReceiverContext {
    NevtarSocket listenSocket;
    int32_t port;             // decimal value of portText, 1 to 65535 once started
    int32_t timeout;          // TIMEOUT, passed unchanged to every CSocketRead
    int32_t logLevel;         // ERRLEVEL
    int32_t maxLogSize;       // MAXLOGSIZE
    char localIP[16];         // 15 characters after FormatIPString
    char portText[6];         // UPLPORT
    char logFileName[101];    // LOGDATEI
    char bufferFileName[101]; // BUFFDATEI
    int32_t syncRecords;      // SYNC: each record on stable storage before "1"
    int64_t maxBufferBytes;   // MAXBUFSIZE in bytes; 0: the buffer file has no bound
    // "$", IP and port: the columns that stay while the process lives, made
    // once by FormatRecordPrefix.
    char recordPrefix[RECORD_STAMP_AT];
};

#endif
