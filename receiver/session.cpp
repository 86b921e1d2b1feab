// One accepted connection: read a message, append its record to the buffer
// file, acknowledge it, until "X", a failure, the end of the connection, or
// a stop's grace running out.
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "counting.h"
#include "lifecycle.h"
#include "log.h"
#include "platform/name_watch.h"
#include "platform/share.h"
#include "protocol/wire.h"
#include "readiness.h"
#include "records.h"

namespace {

// Times one record follows its file's name to a new file; a name that moves
// under every record is given up rather than followed for ever.
constexpr int SESSION_REOPEN_MAX = 3;
constexpr const char* SESSION_FUNCTION = "RcvConSession()";

// How long the session in progress may go on once a stop is asked: its
// client can finish what it sends and have it acknowledged, instead of
// finding the connection closed under its next message. A client that keeps
// streaming cannot hold the stop up longer than this; a quiet one is let go
// when a read waiting for it ends, rounded up to whole seconds (at most one
// second later).
constexpr int32_t SESSION_STOP_GRACE_MS = 2000;
// What SessionRead gives when the stop ends the session: the grace ran out,
// or the client stayed quiet after the stop. No CSocketRead result.
constexpr int32_t SESSION_READ_STOPPED = 1;

using SessionClock = std::chrono::steady_clock;

// What one session owns, from the accepted connection to its end.
struct Session {
    const ReceiverContext* context;
    NevtarSocket connection;
    FILE* stream;               // the buffer file; null once it is lost
    ShareFileIdentity identity; // the file its name led to when it was opened
    NameWatch watch;            // tells when the name may have moved from it
    uint32_t counter;           // sequence number of the last record, 0 before the first
    bool stopSeen;              // a stop was asked; the grace runs from stopSeenAt
    SessionClock::time_point stopSeenAt;
    char message[PELMOR_MESSAGE_MAX + 1];
    char record[PELMOR_DISK_RECORD_LENGTH + 1];
};

// Cuts back the bytes beyond the last whole record: a record the file took
// only in part (a size limit, a full disk, a process that died while
// writing) would shift every later record off the 552-byte framing. Taken
// from the file's present length, since a consumer may have emptied the file
// meanwhile; an excess is always shorter than one record, and it was never
// acknowledged. The bytes cut, or -1 when the file could not be cut.
long long SessionCutTornRecord(FILE* stream) {
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

// Said once per process: the name is then checked per record, as it costs
// a system call each time.
int sessionUnwatchedLogged = 0;

// Has the system tell when the buffer file's name may have moved from the
// file just opened; where it cannot, the name is checked per record.
void SessionWatchName(Session* session) {
    if (NameWatchBegin(session->context->bufferFileName, _fileno(session->stream),
                       &session->watch) != 0 ||
        sessionUnwatchedLogged) {
        return;
    }
    const int error = errno;
    // The name gone between the open and the watch: a rename raced it. The
    // next record finds the name moved and opens it anew, watched then; the
    // one line is kept for a watch the system cannot give.
    if (error == ENOENT) {
        return;
    }
    sessionUnwatchedLogged = 1;
    PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, error, std::strerror(error),
              "Fehler: Pelmor-Bufferdatei ohne Namensueberwachung, Pruefung je Satz");
}

void SessionClose(Session* session) {
    NameWatchEnd(&session->watch);
    std::fclose(session->stream);
    session->stream = nullptr;
}

// Opens the buffer file for appending, created if missing: only a regular
// file, and with a torn record at its end cut back first, its name watched.
// 1, or 0 when the file cannot be used (the stream is then null).
int SessionOpen(Session* session) {
    session->stream = _fsopen(session->context->bufferFileName, "ab", _SH_DENYNO);
    if (session->stream == nullptr) {
        return 0;
    }
    if (ShareIdentifyOpenFile(_fileno(session->stream), &session->identity) == 0) {
        std::fclose(session->stream);
        session->stream = nullptr;
        return 0;
    }
    const long long cut = SessionCutTornRecord(session->stream);
    if (cut > 0) {
        PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, static_cast<int32_t>(cut), "",
                  "Fehler: Satzrest von %ld Bytes aus Pelmor-Bufferdatei entfernt",
                  static_cast<long>(cut));
    } else if (cut < 0) {
        // Records appended after the torn one would all be off the framing.
        PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, 0, "",
                  "Fehler: Satzrest in Pelmor-Bufferdatei nicht entfernt!");
        std::fclose(session->stream);
        session->stream = nullptr;
        return 0;
    }
    SessionWatchName(session);
    return 1;
}

// Without SYNC a record handed to the operating system counts as stored;
// with it, only once the system says it is on the disk.
bool SessionOnStableStorage(const Session* session) {
    return session->context->syncRecords == 0 || _commit(_fileno(session->stream)) == 0;
}

// Hands the record to the operating system with one write of its descriptor,
// so that "1" is only sent for a record that survives the process; with SYNC
// it is on stable storage too, so it survives the machine losing power. The
// stream's buffer stays empty: a record put into it would only be copied
// there and written at once all the same. 1, or 0 after the log entry, with
// a torn part cut back (a whole record that could not be forced to disk
// stays); a failed write is reported as the flush of the stream reported it.
// 0 too for a record that would take the file past MAXBUFSIZE; the file's
// length is read only under that bound.
int SessionAppend(const Session* session) {
    const int fd = _fileno(session->stream);
    const int64_t bound = session->context->maxBufferBytes;
    if (bound > 0 && _filelengthi64(fd) + PELMOR_DISK_RECORD_LENGTH > bound) {
        // Like a full disk: nothing of the record is written.
        PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, 0, "",
                  "Fehler: Pelmor-Bufferdatei hat MAXBUFSIZE (%ld KB) erreicht!",
                  static_cast<long>(bound / 1024));
        return 0;
    }
    const char* failed = nullptr;
    unsigned int written = 0;
    while (written < PELMOR_DISK_RECORD_LENGTH && failed == nullptr) {
        const int part = _write(fd, session->record + written,
                                static_cast<unsigned int>(PELMOR_DISK_RECORD_LENGTH) - written);
        if (part <= 0) {
            failed = "Fehler: Satz in Pelmor-Bufferdatei schreiben (fflush)!";
        } else {
            written += static_cast<unsigned int>(part);
        }
    }
    if (failed == nullptr && !SessionOnStableStorage(session)) {
        failed = "Fehler: Satz in Pelmor-Bufferdatei schreiben (fsync)!";
    }
    if (failed == nullptr) {
        return 1;
    }
    PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, 0, "", "%s", failed);
    SessionCutTornRecord(session->stream);
    return 0;
}

// Appends the record to the file that bears the buffer file's name. A
// consumer takes records away by renaming or deleting the file: when the
// file written no longer bears the name, the record goes again into the file
// that does now, created as at the start of a session, and the session goes
// on with that one. So an acknowledged record is never only in a deleted
// file; it may also stay in the renamed one. "1" or "2".
//
// The name is looked up only when the watch reports that it may have moved
// (or where there is no watch). A move that happened before the record's
// write returned is reported by then; one after it and before the "1" is
// sent is not seen for this record, as with a lookup a move after the
// lookup and before the "1" is not: that window now holds only the few
// instructions from the write's return to the send, no system call.
char SessionStore(Session* session) {
    for (int reopened = 0;; ++reopened) {
        if (SessionAppend(session) == 0) {
            return PELMOR_ACK_FAILED;
        }
        if (NameWatchMayHaveMoved(&session->watch) == 0) {
            return PELMOR_ACK_STORED;
        }
        NameWatchSeen(&session->watch);
        if (ShareNameLeadsTo(session->context->bufferFileName, &session->identity) != 0) {
            return PELMOR_ACK_STORED;
        }
        SessionClose(session);
        if (reopened == SESSION_REOPEN_MAX || SessionOpen(session) == 0) {
            PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, 0, "",
                      "Fehler: Pelmor-Bufferdatei nicht neu geoeffnet!");
            return PELMOR_ACK_FAILED;
        }
        PelmorCountReopening();
    }
}

// Whether a stop was asked; the first time it is seen, the grace begins.
bool SessionStopSeen(Session* session) {
    if (!session->stopSeen && PelmorStopAsked()) {
        session->stopSeen = true;
        session->stopSeenAt = SessionClock::now();
    }
    return session->stopSeen;
}

long long SessionMillisecondsSince(SessionClock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SessionClock::now() - since)
        .count();
}

// Why a read that delivered no message ends the session. A read that fails
// while a stop is asked counts as ended by the stop (a further stop signal
// ends a waiting read too).
int32_t SessionReadEnding(int32_t readResult, int32_t count) {
    if (readResult == 0 && count == 0) {
        return PELMOR_END_PEER;
    }
    if (readResult == NEVTAR_ERR_TIMEOUT) {
        return PELMOR_END_TIMEOUT;
    }
    return PelmorStopAsked() ? PELMOR_END_STOP : PELMOR_END_FAILURE;
}

// One CSocketRead with the session's time-out and, once a stop is asked, for
// no longer than what is left of the grace; SESSION_READ_STOPPED when either
// runs out after the stop (the session would end by the stop anyway, and a
// quiet client is no failure then). A waiting read ended early, by a report
// of the name watch or by the signal that asks the stop, took no bytes: it is
// read again for what is left (rounded up to whole seconds), with nothing
// logged and nothing lost.
int32_t SessionRead(Session* session, int32_t* count) {
    const int32_t timeout = session->context->timeout;
    const SessionClock::time_point started = SessionClock::now();
    for (;;) {
        const bool stopSeen = SessionStopSeen(session);
        bool bounded = false;
        long long rest = 0; // milliseconds the read may wait when bounded
        if (stopSeen) {
            bounded = true;
            rest = SESSION_STOP_GRACE_MS - SessionMillisecondsSince(session->stopSeenAt);
        }
        if (timeout > 0) {
            const long long timeoutRest =
                static_cast<long long>(timeout) * 1000 - SessionMillisecondsSince(started);
            rest = bounded ? std::min(rest, timeoutRest) : timeoutRest;
            bounded = true;
        }
        if (bounded && rest <= 0) {
            return stopSeen ? SESSION_READ_STOPPED : NEVTAR_ERR_TIMEOUT;
        }
        // No more than the session's time-out or the grace, both int32_t.
        const int32_t left = bounded ? static_cast<int32_t>((rest + 999) / 1000) : 0;
        const int32_t reports = NameWatchReports();
        const int32_t result =
            CSocketRead(session->connection, session->message, PELMOR_MESSAGE_MAX, count, left);
        if (result == 0) {
            return result;
        }
        if (result == NEVTAR_ERR_TIMEOUT) {
            // Never read again: Windows leaves a timed-out connection's
            // state undefined. A stop asked while it waited (only the event
            // reset, which ends no wait) is why the session ends.
            return SessionStopSeen(session) ? SESSION_READ_STOPPED : result;
        }
        const bool interruptedByStop = !stopSeen && SessionStopSeen(session);
        if (NameWatchReports() == reports && !interruptedByStop) {
            return result;
        }
    }
}

// Reads, stores and acknowledges messages until the session ends; why it
// ended. Once a stop is asked the session goes on until its client ends it,
// stays quiet, or the grace has run out: then it ends between two messages,
// and every acknowledged record is written.
int32_t SessionServe(Session* session) {
    for (;;) {
        int32_t count = 0;
        const int32_t readResult = SessionRead(session, &count);
        if (readResult == SESSION_READ_STOPPED) {
            return PELMOR_END_STOP;
        }
        if (readResult != 0 || count == 0) {
            const int32_t ending = SessionReadEnding(readResult, count);
            if (ending != PELMOR_END_STOP) {
                PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, readResult, 0, "",
                          "Fehler: CSocketRead! ErrorCode: %ld", static_cast<long>(readResult));
            }
            return ending;
        }
        // The message is its bytes up to the first zero byte: ending it
        // after what was read does what clearing the whole buffer did.
        session->message[std::clamp(count, int32_t{0}, PELMOR_MESSAGE_MAX)] = '\0';
        PelmorCountMessage(count);
        if (session->message[0] == PELMOR_SESSION_END) {
            return PELMOR_END_X;
        }

        const int64_t stampTime = BuildDiskRecord(session->context->recordPrefix, &session->counter,
                                                  session->message, session->record);
        if (stampTime == -1) {
            const int error = errno;
            PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, 0, error, std::strerror(error),
                      "Fehler: Fkt. FormatRcvMsg()!");
        }
        char acknowledgement = SessionStore(session);
        PelmorCountRecord(acknowledgement == PELMOR_ACK_STORED, stampTime);
        PelmorTellProgress(stampTime); // a comparison, a datagram at most once a second

        const int32_t writeResult = CSocketWrite(session->connection, &acknowledgement, 1, &count);
        if (writeResult != 0) {
            PelmorLog(SESSION_FUNCTION, PELMOR_LOG_FAILURE, writeResult, 0, "",
                      "Fehler: CSocketWrite! ErrorCode: %ld", static_cast<long>(writeResult));
        }
        if (acknowledgement == PELMOR_ACK_FAILED || writeResult != 0) {
            return PELMOR_END_FAILURE;
        }
    }
}

} // namespace

int RcvConSession(ReceiverContext* context, NevtarSocket connection) {
    if (std::memchr(context->bufferFileName, '\0', sizeof context->bufferFileName) == nullptr) {
        return 0; // not a terminated name
    }
    Session session{};
    session.context = context;
    session.connection = connection;
    session.watch.handle = -1;
    if (SessionOpen(&session) == 0) {
        return 0;
    }
    const int32_t ending = SessionServe(&session);
    if (session.stream != nullptr) {
        SessionClose(&session);
    }
    PelmorCountSessionEnd(ending);
    return 1;
}
