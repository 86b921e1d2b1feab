// The buffer file read back: whole records in fixed blocks (constant memory
// whatever the file's size), each record checked and decoded column by column.
#ifndef TOOLS_BUFFER_FILE_H
#define TOOLS_BUFFER_FILE_H

#include <cstdint>

#include "platform/file_calls.h"
#include "receiver/record_layout.h"

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

// A record's columns as values.
struct BufferRecord {
    char ip[RECORD_IP_WIDTH + 1]; // dotted, without leading zeros
    int32_t port;
    char stamp[RECORD_STAMP_WIDTH + 1]; // YYYYMMDDhhmmss as recorded, "" for the zero stamp
    int32_t seq;                        // -1 when the column holds no three digits
    const unsigned char* message;       // inside the record
    int32_t messageLength;              // trailing blanks removed
};

// Problems of a record, in column order.
constexpr int32_t BUFFER_OK = 0;
constexpr int32_t BUFFER_BAD_MARK = -1;
constexpr int32_t BUFFER_BAD_IP = -2;
constexpr int32_t BUFFER_BAD_PORT = -3;
constexpr int32_t BUFFER_BAD_STAMP = -4;
constexpr int32_t BUFFER_BAD_TIME = -5;
constexpr int32_t BUFFER_BAD_COUNTER = -6;
constexpr int32_t BUFFER_NUL_IN_MESSAGE = -7;
constexpr int32_t BUFFER_BAD_LINE_END = -8;

// Checks the 552 bytes of a record and decodes them. BUFFER_OK, or the first
// problem found; seq is decoded whenever its column holds digits.
int32_t BufferDecode(const unsigned char* record, BufferRecord* decoded);

// German text of a problem code.
const char* BufferProblemText(int32_t problem);

// "YYYY-MM-DD" + separator + "hh:mm:ss" from a decoded stamp that is not "".
constexpr int32_t BUFFER_STAMP_TEXT_SIZE = 20;
void BufferStampText(const char* stamp, char separator, char (&text)[BUFFER_STAMP_TEXT_SIZE]);

// Writes value (0 or more) in decimal digits, no terminator, at most 19
// characters; returns the end.
char* BufferPutDecimal(char* at, int64_t value);

#endif
