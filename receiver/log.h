// The receiver's log entries: source "pelmor", the message formatted into the
// process's one 80-byte message buffer, which also takes the library's text
// of its last failure.
#ifndef PELMOR_LOG_H
#define PELMOR_LOG_H

#include <cstdint>

// Writes one entry; the message is format filled in, cut to the buffer.
void PelmorLog(const char* function, int32_t level, int32_t errorCode, int32_t furtherNumber,
               const char* extraText, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// Writes one entry of level 1 whose message stands as given, with the
// library's number and text of its last failure.
void PelmorLogLibraryFailure(const char* function, int32_t errorCode, const char* message);

// Whether the library has a failure pending (its text goes into the buffer).
int PelmorLibraryFailurePending(void);

#endif
