// One accepted connection: read a message, append its record to the buffer
// file, acknowledge it, until "X", a failure or the end of the connection.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/share.h"
#include "receiver/counters.h"
#include "receiver/lifecycle.h"
#include "receiver/pelmor.h"

namespace {

constexpr char SESSION_END = 'X';
constexpr char SESSION_ACK_STORED = '1';
constexpr char SESSION_ACK_FAILED = '2';

// Every entry of a session: source "pelmor", level 1, the message from the
// shared buffer.
void SessionLog(int32_t errorCode, int32_t furtherNumber, const char* extraText)
{
    CLogWrite("pelmor", "RcvConSession()", 1, errorCode, furtherNumber, PelmorMessageBuffer,
              extraText);
}

// A record that the file took only in part (a size limit, a full disk) would
// shift every later record off the 552-byte framing, so the fragment is cut
// back. Only an excess shorter than one record can be that fragment; more
// than that was written by someone else and stays.
void SessionCutFragment(FILE* bufferFile, long long recordStart)
{
    const int fd = _fileno(bufferFile);
    const long long length = _filelengthi64(fd);
    if (recordStart >= 0 && length > recordStart &&
        length - recordStart < PELMOR_DISK_RECORD_LENGTH) {
        _chsize_s(fd, recordStart);
    }
}

// Without SYNC a record handed to the operating system counts as stored;
// with it, only once the system says it is on the disk.
bool SessionOnStableStorage(FILE* bufferFile, int32_t syncRecords)
{
    return syncRecords == 0 || _commit(_fileno(bufferFile)) == 0;
}

// Puts the record into the stream and hands it to the operating system, so
// that "1" is only sent for a record that survives the process; with SYNC it
// is on stable storage too, so it survives the machine losing power. The
// record's line feed goes to disk as CR LF: binary mode keeps line feeds
// inside the message as they came, and every record is 552 bytes on every
// platform.
char SessionAppend(FILE* bufferFile, char (&record)[PELMOR_DISK_RECORD_LENGTH + 1],
                   long long* fileEnd, int32_t syncRecords)
{
    record[PELMOR_RECORD_LENGTH - 1] = '\r';
    record[PELMOR_RECORD_LENGTH] = '\n';
    record[PELMOR_DISK_RECORD_LENGTH] = '\0';
    if (std::fputs(record, bufferFile) == EOF) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: Satz in Pelmor-Bufferdatei schreiben (fputs)!");
        SessionLog(0, 0, "");
        SessionCutFragment(bufferFile, *fileEnd);
        return SESSION_ACK_FAILED;
    }
    const char* failedCall = nullptr;
    if (std::fflush(bufferFile) != 0) {
        failedCall = "fflush";
    } else if (!SessionOnStableStorage(bufferFile, syncRecords)) {
        failedCall = "fsync";
    }
    if (failedCall != nullptr) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: Satz in Pelmor-Bufferdatei schreiben (%s)!", failedCall);
        SessionLog(0, 0, "");
        SessionCutFragment(bufferFile, *fileEnd);
        return SESSION_ACK_FAILED;
    }
    if (*fileEnd >= 0) {
        *fileEnd += PELMOR_DISK_RECORD_LENGTH;
    }
    return SESSION_ACK_STORED;
}

// Why a read that delivered no message ends the session.
int32_t SessionReadEnding(int32_t readResult, int32_t count)
{
    if (readResult == 0 && count == 0) {
        return PELMOR_END_PEER;
    }
    if (readResult == NEVTAR_ERR_TIMEOUT) {
        return PELMOR_END_TIMEOUT;
    }
    return PelmorStopAsked() ? PELMOR_END_STOP : PELMOR_END_FAILURE;
}

} // namespace

int RcvConSession(ReceiverContext* context, NevtarSocket connection)
{
    if (std::memchr(context->bufferFileName, '\0', sizeof context->bufferFileName) == nullptr) {
        return 0; // not a terminated name
    }
    FILE* bufferFile = _fsopen(context->bufferFileName, "ab", _SH_DENYNO);
    if (bufferFile == nullptr) {
        return 0;
    }
    PelmorRecordCounter = 0;
    // Where the next record starts (-1: unknown), to cut back a torn one.
    long long fileEnd = _filelengthi64(_fileno(bufferFile));

    char message[PELMOR_MESSAGE_MAX + 1];
    char record[PELMOR_DISK_RECORD_LENGTH + 1];
    int32_t ending = PELMOR_END_STOP; // unless the session ends otherwise first
    // A stop asked for while a client streams ends the session between two
    // messages: every acknowledged record is written, and the next message
    // finds the connection closed.
    while (!PelmorStopAsked()) {
        std::memset(message, 0, sizeof message);
        char acknowledgement = 0;
        int32_t count = 0;
        const int32_t readResult =
            CSocketRead(connection, message, PELMOR_MESSAGE_MAX, &count, context->timeout);
        if (readResult != 0 || count == 0) {
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: CSocketRead! ErrorCode: %ld", static_cast<long>(readResult));
            SessionLog(readResult, 0, "");
            ending = SessionReadEnding(readResult, count);
            break;
        }
        PelmorCountMessage(count);
        if (message[0] == SESSION_END) {
            ending = PELMOR_END_X;
            break;
        }
        if (FormatRcvMsg(context, message, record, PELMOR_RECORD_LENGTH) == 0) {
            const int error = errno;
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: Fkt. FormatRcvMsg()!");
            SessionLog(0, error, std::strerror(error));
        }
        acknowledgement = SessionAppend(bufferFile, record, &fileEnd, context->syncRecords);
        PelmorCountRecord(acknowledgement == SESSION_ACK_STORED, PelmorRecordTime);

        const int32_t writeResult = CSocketWrite(connection, &acknowledgement, 1, &count);
        if (writeResult != 0) {
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: CSocketWrite! ErrorCode: %ld", static_cast<long>(writeResult));
            SessionLog(writeResult, 0, "");
        }
        if (acknowledgement == SESSION_ACK_FAILED || writeResult != 0) {
            ending = PELMOR_END_FAILURE;
            break;
        }
    }
    std::fclose(bufferFile);
    PelmorCountSessionEnd(ending);
    return 1;
}
