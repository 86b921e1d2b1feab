// The receiver's log entries: source "pelmor", the message formatted into the
// process's one 80-byte message buffer, which also takes the library's text
// of its last failure.
#ifndef RECEIVER_LOG_H
#define RECEIVER_LOG_H

#include <cstdint>

// Levels of the entries; the log takes those up to ERRLEVEL, 1 being the most
// important.
constexpr int32_t PELMOR_LOG_FAILURE = 1;  // whatever fails on the message's way
constexpr int32_t PELMOR_LOG_DETAIL = 100; // a release at shutdown that failed

// Writes one entry; the message is format filled in, cut to the buffer.
void PelmorLog(const char* function, int32_t level, int32_t errorCode, int32_t furtherNumber,
               const char* extraText, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// Writes one entry of level PELMOR_LOG_FAILURE whose message stands as given, with the
// library's number and text of its last failure.
void PelmorLogLibraryFailure(const char* function, int32_t errorCode, const char* message);

// Whether the library has a failure pending (its text goes into the buffer).
bool PelmorLibraryFailurePending(void);

#endif
