// One accepted connection: read a message, append its record to the buffer
// file, acknowledge it, until "X", a failure or the end of the connection.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/share.h"
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

// Puts the record into the stream and hands it to the operating system, so
// that "1" is only sent for a record that survives the process. The record's
// line feed goes to disk as CR LF: binary mode keeps line feeds inside the
// message as they came, and every record is 552 bytes on every platform.
char SessionAppend(FILE* bufferFile, char (&record)[PELMOR_DISK_RECORD_LENGTH + 1])
{
    record[PELMOR_RECORD_LENGTH - 1] = '\r';
    record[PELMOR_RECORD_LENGTH] = '\n';
    record[PELMOR_DISK_RECORD_LENGTH] = '\0';
    if (std::fputs(record, bufferFile) == EOF) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: Satz in Pelmor-Bufferdatei schreiben (fputs)!");
        SessionLog(0, 0, "");
        return SESSION_ACK_FAILED;
    }
    if (std::fflush(bufferFile) != 0) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: Satz in Pelmor-Bufferdatei schreiben (fflush)!");
        SessionLog(0, 0, "");
        return SESSION_ACK_FAILED;
    }
    return SESSION_ACK_STORED;
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

    char message[PELMOR_MESSAGE_MAX + 1];
    char record[PELMOR_DISK_RECORD_LENGTH + 1];
    for (;;) {
        std::memset(message, 0, sizeof message);
        char acknowledgement = 0;
        int32_t count = 0;
        const int32_t readResult =
            CSocketRead(connection, message, PELMOR_MESSAGE_MAX, &count, context->timeout);
        if (readResult != 0 || count == 0) {
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: CSocketRead! ErrorCode: %ld", static_cast<long>(readResult));
            SessionLog(readResult, 0, "");
            break;
        }
        if (message[0] == SESSION_END) {
            break;
        }
        if (FormatRcvMsg(context, message, record, PELMOR_RECORD_LENGTH) == 0) {
            const int error = errno;
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: Fkt. FormatRcvMsg()!");
            SessionLog(0, error, std::strerror(error));
        }
        acknowledgement = SessionAppend(bufferFile, record);

        const int32_t writeResult = CSocketWrite(connection, &acknowledgement, 1, &count);
        if (writeResult != 0) {
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: CSocketWrite! ErrorCode: %ld", static_cast<long>(writeResult));
            SessionLog(writeResult, 0, "");
        }
        if (acknowledgement == SESSION_ACK_FAILED || writeResult != 0) {
            break;
        }
    }
    std::fclose(bufferFile);
    return 1;
}
