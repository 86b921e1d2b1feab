// The platform's part of the log: the time stamp and the file itself.
#ifndef COMMLIB_LOG_FILE_H
#define COMMLIB_LOG_FILE_H

#include <cstddef>
#include <cstdint>

// Writes the start of an entry: local date and time with milliseconds and
// the process id, "2026-05-07 14:30:05.123 [4711] ". Returns its length.
std::size_t NevtarLogStamp(char* line, std::size_t size);

// Opens the file for appending, creating it, and closes it again: 1 when
// that worked, else 0 with the failure recorded.
int NevtarLogFileCheck(const char* fileName);

// Appends one entry in a single write. When maxBytes is above 0 and the
// entry would grow a non-empty file past it, the file is first renamed to
// oldName (replacing an older one) and a new one begun; a rename that fails
// keeps the entry in the full file rather than lose it. 0, or
// NEVTAR_ERR_LOG with the failure recorded.
int32_t NevtarLogFileAppend(const char* fileName, const char* oldName, const char* entry,
                            std::size_t length, int64_t maxBytes);

#endif
