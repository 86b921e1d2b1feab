// A buffer-file record and where its columns lie: one definition for the
// receiver, which writes records, and for the tools that read them back.
// Offsets count from 0 in the 552 bytes of a record on disk.
#ifndef PELMOR_RECORD_LAYOUT_H
#define PELMOR_RECORD_LAYOUT_H

#include <cstdint>

constexpr int32_t PELMOR_MESSAGE_MAX = 512;        // bytes of one message
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

#endif
