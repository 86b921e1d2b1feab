// A buffer-file record: where its columns lie, and the one encoder and
// decoder of it, for the receiver, which writes records, and for every
// program that reads them back. Offsets count from 0 in the 552 bytes of a
// record on disk.
#ifndef PROTOCOL_RECORD_H
#define PROTOCOL_RECORD_H

#include <cstdint>
#include <ctime>

#include "protocol/wire.h"

constexpr int32_t PELMOR_RECORD_LENGTH = 551;      // characters of a record, line feed included
constexpr int32_t PELMOR_DISK_RECORD_LENGTH = 552; // bytes on disk: the line feed as CR LF

constexpr char RECORD_MARK = '$';
constexpr char RECORD_ZERO_STAMP[] = "00000000000000"; // the time when it cannot be had
constexpr uint32_t RECORD_COUNTER_MAX = 999;           // then 000, 001, ...

constexpr int32_t RECORD_MARK_AT = 0;
constexpr int32_t RECORD_IP_AT = RECORD_MARK_AT + 1;
constexpr int32_t RECORD_IP_WIDTH = 15; // ddd.ddd.ddd.ddd
constexpr int32_t RECORD_PORT_AT = RECORD_IP_AT + RECORD_IP_WIDTH;
constexpr int32_t RECORD_PORT_DIGITS = 5;
constexpr int32_t RECORD_STAMP_AT = RECORD_PORT_AT + RECORD_PORT_DIGITS;
constexpr int32_t RECORD_STAMP_WIDTH = sizeof RECORD_ZERO_STAMP - 1; // YYYYMMDDhhmmss
constexpr int32_t RECORD_COUNTER_AT = RECORD_STAMP_AT + RECORD_STAMP_WIDTH;
constexpr int32_t RECORD_COUNTER_DIGITS = 3;
constexpr int32_t RECORD_MESSAGE_AT = RECORD_COUNTER_AT + RECORD_COUNTER_DIGITS;
constexpr int32_t RECORD_MESSAGE_WIDTH = PELMOR_MESSAGE_MAX; // padded with blanks
constexpr int32_t RECORD_LINE_END_AT = RECORD_MESSAGE_AT + RECORD_MESSAGE_WIDTH; // CR LF on disk

static_assert(RECORD_LINE_END_AT + 1 == PELMOR_RECORD_LENGTH, "a record is 551 characters");
static_assert(RECORD_LINE_END_AT + 2 == PELMOR_DISK_RECORD_LENGTH, "CR LF end it on disk");

// --- Encoding

// The columns that stay while a receiver lives: "$", the address (up to its
// terminator, at most 15 characters, padded with blanks) and the last five
// digits of port.
void RecordEncodePrefix(const char* localIP, uint32_t port, char (&prefix)[RECORD_STAMP_AT]);

// A whole record as it goes to disk: the prefix, the stamp (up to its
// terminator, at most 14 characters, right-aligned), the last three digits of
// counter, the message up to its terminator or 512 bytes padded with blanks,
// and CR LF; record is terminated after its 552 bytes.
void RecordEncode(const char (&prefix)[RECORD_STAMP_AT], const char* stamp, uint32_t counter,
                  const char* message, char (&record)[PELMOR_DISK_RECORD_LENGTH + 1]);

// --- Decoding

// A record's columns as values.
struct RecordFields {
    char ip[RECORD_IP_WIDTH + 1]; // dotted, without leading zeros
    int32_t port;
    char stamp[RECORD_STAMP_WIDTH + 1]; // YYYYMMDDhhmmss as recorded, "" for the zero stamp
    int32_t seq;                        // -1 when the column holds no three digits
    const unsigned char* message;       // inside the record
    int32_t messageLength;              // trailing blanks removed
};

// Problems of a record, in column order.
constexpr int32_t RECORD_OK = 0;
constexpr int32_t RECORD_BAD_MARK = -1;
constexpr int32_t RECORD_BAD_IP = -2;
constexpr int32_t RECORD_BAD_PORT = -3;
constexpr int32_t RECORD_BAD_STAMP = -4;
constexpr int32_t RECORD_BAD_TIME = -5;
constexpr int32_t RECORD_BAD_COUNTER = -6;
constexpr int32_t RECORD_NUL_IN_MESSAGE = -7;
constexpr int32_t RECORD_BAD_LINE_END = -8;

// Checks the 552 bytes of a record on disk and decodes them: "$", the address
// as ddd.ddd.ddd.ddd with parts up to 255, five digits of port, a real date
// and time of day or the zero stamp, three digits of counter, no zero byte in
// the message, CR LF. RECORD_OK, or the first problem found; seq is decoded
// whenever its column holds digits.
int32_t RecordDecode(const unsigned char* record, RecordFields* fields);

// German text of a problem code.
const char* RecordProblemText(int32_t problem);

// The time in a well formed record's stamp, read as local time; 0 when the
// record is refused or carries the zero stamp.
std::time_t RecordStampTime(const unsigned char* record);

#endif
