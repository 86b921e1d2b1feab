// One accepted connection: read a message, append its record to the buffer
// file, acknowledge it, until "X", a failure or the end of the connection.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/share.h"
#include "lifecycle.h"
#include "receiver/counters.h"
#include "receiver/pelmor.h"

namespace {

constexpr char SESSION_END = 'X';
constexpr char SESSION_ACK_STORED = '1';
constexpr char SESSION_ACK_FAILED = '2';
// Times one record follows its file's name to a new file; a name that moves
// under every record is given up rather than followed for ever.
constexpr int SESSION_REOPEN_MAX = 3;

// The session's buffer file and the file its name led to when it was opened.
struct SessionFile {
    FILE* stream;
    ShareFileIdentity identity;
};

// Every entry of a session: source "pelmor", level 1, the message from the
// shared buffer.
void SessionLog(int32_t errorCode, int32_t furtherNumber, const char* extraText)
{
    CLogWrite("pelmor", "RcvConSession()", 1, errorCode, furtherNumber, PelmorMessageBuffer,
              extraText);
}

// Cuts back the bytes beyond the last whole record: a record the file took
// only in part (a size limit, a full disk, a process that died while
// writing) would shift every later record off the 552-byte framing. Taken
// from the file's present length, since a consumer may have emptied the file
// meanwhile; an excess is always shorter than one record, and it was never
// acknowledged. The bytes cut, or -1 when the file could not be cut.
long long SessionCutTornRecord(FILE* stream)
{
    const int fd = _fileno(stream);
    const long long length = _filelengthi64(fd);
    if (length < 0) {
        return -1;
    }
    const long long excess = length % PELMOR_DISK_RECORD_LENGTH;
    if (excess == 0) {
        return 0;
    }
    return _chsize_s(fd, length - excess) == 0 ? excess : -1;
}

// Opens the buffer file for appending, created if missing: only a regular
// file, and with a torn record at its end cut back first. 1, or 0 when the
// file cannot be used (the stream is then null).
int SessionOpen(const ReceiverContext* context, SessionFile* file)
{
    file->stream = _fsopen(context->bufferFileName, "ab", _SH_DENYNO);
    if (file->stream == nullptr) {
        return 0;
    }
    if (ShareIdentifyOpenFile(_fileno(file->stream), &file->identity) == 0) {
        std::fclose(file->stream);
        file->stream = nullptr;
        return 0;
    }
    const long long cut = SessionCutTornRecord(file->stream);
    if (cut > 0) {
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: Satzrest von %ld Bytes aus Pelmor-Bufferdatei entfernt",
                      static_cast<long>(cut));
        SessionLog(0, static_cast<int32_t>(cut), "");
    } else if (cut < 0) {
        // Records appended after the torn one would all be off the framing.
        std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                      "Fehler: Satzrest in Pelmor-Bufferdatei nicht entfernt!");
        SessionLog(0, 0, "");
        std::fclose(file->stream);
        file->stream = nullptr;
        return 0;
    }
    return 1;
}

// Without SYNC a record handed to the operating system counts as stored;
// with it, only once the system says it is on the disk.
bool SessionOnStableStorage(FILE* stream, int32_t syncRecords)
{
    return syncRecords == 0 || _commit(_fileno(stream)) == 0;
}

// Puts the record into the stream and hands it to the operating system, so
// that "1" is only sent for a record that survives the process; with SYNC it
// is on stable storage too, so it survives the machine losing power. 1, or 0
// after the log entry, with a torn part cut back (a whole record that could
// not be forced to disk stays).
int SessionAppend(FILE* stream, const char* record, int32_t syncRecords)
{
    const char* failed = nullptr;
    if (std::fputs(record, stream) == EOF) {
        failed = "Fehler: Satz in Pelmor-Bufferdatei schreiben (fputs)!";
    } else if (std::fflush(stream) != 0) {
        failed = "Fehler: Satz in Pelmor-Bufferdatei schreiben (fflush)!";
    } else if (!SessionOnStableStorage(stream, syncRecords)) {
        failed = "Fehler: Satz in Pelmor-Bufferdatei schreiben (fsync)!";
    } else {
        return 1;
    }
    std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer, "%s", failed);
    SessionLog(0, 0, "");
    SessionCutTornRecord(stream);
    return 0;
}

// Appends the record to the file that bears the buffer file's name. A
// consumer takes records away by renaming or deleting the file: when the
// file written no longer bears the name, the record goes again into the file
// that does now, created as at the start of a session, and the session goes
// on with that one. So an acknowledged record is never only in a deleted
// file; it may also stay in the renamed one. "1" or "2".
char SessionStore(const ReceiverContext* context, SessionFile* file, const char* record)
{
    for (int reopened = 0;; ++reopened) {
        if (SessionAppend(file->stream, record, context->syncRecords) == 0) {
            return SESSION_ACK_FAILED;
        }
        if (ShareNameLeadsTo(context->bufferFileName, &file->identity) != 0) {
            return SESSION_ACK_STORED;
        }
        std::fclose(file->stream);
        if (reopened == SESSION_REOPEN_MAX || SessionOpen(context, file) == 0) {
            file->stream = nullptr;
            std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                          "Fehler: Pelmor-Bufferdatei nicht neu geoeffnet!");
            SessionLog(0, 0, "");
            return SESSION_ACK_FAILED;
        }
        PelmorCountReopening();
    }
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
    SessionFile file{};
    if (SessionOpen(context, &file) == 0) {
        return 0;
    }
    PelmorRecordCounter = 0;

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
            // On Linux the signal that asks for a stop also ends a waiting
            // read: that is no failure of the read. A time-out still is.
            ending = SessionReadEnding(readResult, count);
            if (ending != PELMOR_END_STOP) {
                std::snprintf(PelmorMessageBuffer, sizeof PelmorMessageBuffer,
                              "Fehler: CSocketRead! ErrorCode: %ld", static_cast<long>(readResult));
                SessionLog(readResult, 0, "");
            }
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
        // The record's line feed goes to disk as CR LF: binary mode keeps
        // line feeds inside the message as they came, and every record is
        // 552 bytes on every platform.
        record[PELMOR_RECORD_LENGTH - 1] = '\r';
        record[PELMOR_RECORD_LENGTH] = '\n';
        record[PELMOR_DISK_RECORD_LENGTH] = '\0';
        acknowledgement = SessionStore(context, &file, record);
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
    if (file.stream != nullptr) {
        std::fclose(file.stream);
    }
    PelmorCountSessionEnd(ending);
    return 1;
}
