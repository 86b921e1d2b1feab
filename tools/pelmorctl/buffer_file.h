// The buffer file read back: whole records in fixed blocks (constant memory
// whatever the file's size), each handed to the record decoder.
#ifndef TOOLS_PELMORCTL_BUFFER_FILE_H
#define TOOLS_PELMORCTL_BUFFER_FILE_H

#include <cstdint>

#include "platform/file_calls.h"
#include "protocol/record.h"

constexpr int32_t BUFFER_BLOCK_RECORDS = 256; // records per read

struct BufferReader {
    HFILE file;
    int64_t blockOffset; // where block[0] lies in the file
    int32_t length;      // bytes in block
    int32_t at;          // the next record in block
    unsigned char block[BUFFER_BLOCK_RECORDS * PELMOR_DISK_RECORD_LENGTH];
};

// Results of BufferNext.
constexpr int BUFFER_RECORD = 1; // a whole record
constexpr int BUFFER_END = 0;    // nothing left
constexpr int BUFFER_TORN = -1;  // fewer than 552 bytes left at the end
constexpr int BUFFER_READ_FAILED = -2;

// Opens a regular file for reading, as the parameter-file reader does (a
// FIFO, a directory or a device is refused). 1, or 0 with the reason on
// standard error.
int BufferOpen(BufferReader* reader, const char* path);
void BufferClose(BufferReader* reader);

// Goes past the first records whole records. 1, or 0 when reading failed.
int BufferSkip(BufferReader* reader, int64_t records);

// The next record: *record points at its 552 bytes (valid until the next
// call), *offset is where it starts in the file; with BUFFER_TORN *length
// holds the bytes left.
int BufferNext(BufferReader* reader, const unsigned char** record, int32_t* length,
               int64_t* offset);

// "YYYY-MM-DD" + separator + "hh:mm:ss" from a decoded stamp that is not "".
constexpr int32_t BUFFER_STAMP_TEXT_SIZE = 20;
void BufferStampText(const char* stamp, char separator, char (&text)[BUFFER_STAMP_TEXT_SIZE]);

#endif
