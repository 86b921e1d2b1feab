// The record's encoder and decoder: the one place where its columns are
// written and read.
#include "protocol/record.h"

#include <cstddef>
#include <cstring>
#include <ctime>

#include "protocol/decimal.h"

namespace {

constexpr uint32_t RECORD_PORT_MODULUS = 100000; // the port column holds five digits
constexpr int32_t RECORD_IP_PARTS = 4;
constexpr int32_t RECORD_IP_PART_DIGITS = 3;
constexpr int32_t RECORD_IP_PART_MAX = 255;

// Length of text up to its terminator, at most width.
std::size_t RecordTextLength(const char* text, std::size_t width) {
    const void* end = std::memchr(text, '\0', width);
    return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : width;
}

// Copies text up to its terminator, at most width characters, and fills the
// rest of the column with blanks; returns the end of the column.
char* RecordPutText(char* at, const char* text, std::size_t width) {
    const std::size_t length = RecordTextLength(text, width);
    std::memcpy(at, text, length);
    std::memset(at + length, ' ', width - length);
    return at + width;
}

// Right-aligns text (at most width characters of it) in its column.
char* RecordPutRight(char* at, const char* text, std::size_t width) {
    const std::size_t length = RecordTextLength(text, width);
    std::memset(at, ' ', width - length);
    std::memcpy(at + width - length, text, length);
    return at + width;
}

// Writes the last digits decimal digits of value, with leading zeros.
char* RecordPutDigits(char* at, uint32_t value, std::size_t digits) {
    for (std::size_t i = digits; i > 0; --i) {
        at[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return at + digits;
}

// A fixed-width column of digits; -1 when it holds anything else.
int32_t RecordNumber(const unsigned char* at, int32_t digits) {
    int64_t value = 0;
    return DecimalParse(reinterpret_cast<const char*>(at), static_cast<std::size_t>(digits),
                        INT32_MAX, &value)
               ? static_cast<int32_t>(value)
               : -1;
}

// ddd.ddd.ddd.ddd with every part at most 255, as the receiver writes it;
// true and the dotted text without leading zeros.
bool RecordDecodeIp(const unsigned char* column, char (&ip)[RECORD_IP_WIDTH + 1]) {
    int32_t parts[RECORD_IP_PARTS];
    for (int32_t part = 0; part < RECORD_IP_PARTS; ++part) {
        const std::ptrdiff_t start =
            static_cast<std::ptrdiff_t>(part) * (RECORD_IP_PART_DIGITS + 1);
        const unsigned char* at = column + start;
        parts[part] = RecordNumber(at, RECORD_IP_PART_DIGITS);
        if (parts[part] < 0 || parts[part] > RECORD_IP_PART_MAX || (part > 0 && at[-1] != '.')) {
            return false;
        }
    }
    char* at = ip;
    for (int32_t part = 0; part < RECORD_IP_PARTS; ++part) {
        if (part > 0) {
            *at++ = '.';
        }
        at = DecimalPut(at, parts[part]);
    }
    *at = '\0';
    return true;
}

bool RecordLeapYear(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// A calendar date from year 1 and a time of day (second 60 for a leap
// second), from a stamp of digits.
bool RecordValidTime(const unsigned char* stamp) {
    static const int32_t daysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int32_t year = RecordNumber(stamp, 4);
    const int32_t month = RecordNumber(stamp + 4, 2);
    const int32_t day = RecordNumber(stamp + 6, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int32_t lastDay = daysInMonth[month - 1] + (month == 2 && RecordLeapYear(year));
    return day <= lastDay && RecordNumber(stamp + 8, 2) <= 23 &&
           RecordNumber(stamp + 10, 2) <= 59 && RecordNumber(stamp + 12, 2) <= 60;
}

} // namespace

void RecordEncodePrefix(const char* localIP, uint32_t port, char (&prefix)[RECORD_STAMP_AT]) {
    char* at = prefix;
    *at++ = RECORD_MARK;
    at = RecordPutText(at, localIP, RECORD_IP_WIDTH);
    RecordPutDigits(at, port % RECORD_PORT_MODULUS, RECORD_PORT_DIGITS);
}

void RecordEncode(const char (&prefix)[RECORD_STAMP_AT], const char* stamp, uint32_t counter,
                  const char* message, char (&record)[PELMOR_DISK_RECORD_LENGTH + 1]) {
    // The columns of "$%-15.15s%.5lu%14.14s%.3u%-512.512s\r\n", set by hand:
    // padding 512 columns through printf cost several times the rest of a
    // message's handling.
    std::memcpy(record, prefix, RECORD_STAMP_AT);
    char* at = RecordPutRight(record + RECORD_STAMP_AT, stamp, RECORD_STAMP_WIDTH);
    at = RecordPutDigits(at, counter, RECORD_COUNTER_DIGITS);
    at = RecordPutText(at, message, RECORD_MESSAGE_WIDTH);
    // Line feeds inside the message stay as they came; the record's own line
    // end is CR LF, so every record is 552 bytes on every platform.
    std::memcpy(at, "\r\n", 3);
}

int32_t RecordDecode(const unsigned char* record, RecordFields* fields) {
    fields->seq = RecordNumber(record + RECORD_COUNTER_AT, RECORD_COUNTER_DIGITS);
    if (record[RECORD_MARK_AT] != RECORD_MARK) {
        return RECORD_BAD_MARK;
    }
    if (!RecordDecodeIp(record + RECORD_IP_AT, fields->ip)) {
        return RECORD_BAD_IP;
    }
    fields->port = RecordNumber(record + RECORD_PORT_AT, RECORD_PORT_DIGITS);
    if (fields->port < 0) {
        return RECORD_BAD_PORT;
    }
    const unsigned char* stamp = record + RECORD_STAMP_AT;
    int64_t digits = 0;
    if (!DecimalParse(reinterpret_cast<const char*>(stamp), RECORD_STAMP_WIDTH, INT64_MAX,
                      &digits)) {
        return RECORD_BAD_STAMP;
    }
    const bool zeroStamp = digits == 0;
    if (!zeroStamp && !RecordValidTime(stamp)) {
        return RECORD_BAD_TIME;
    }
    std::memcpy(fields->stamp, stamp, RECORD_STAMP_WIDTH);
    fields->stamp[zeroStamp ? 0 : RECORD_STAMP_WIDTH] = '\0';
    if (fields->seq < 0) {
        return RECORD_BAD_COUNTER;
    }
    const unsigned char* message = record + RECORD_MESSAGE_AT;
    // The receiver takes a message up to its first zero byte.
    if (std::memchr(message, '\0', RECORD_MESSAGE_WIDTH) != nullptr) {
        return RECORD_NUL_IN_MESSAGE;
    }
    if (record[RECORD_LINE_END_AT] != '\r' || record[RECORD_LINE_END_AT + 1] != '\n') {
        return RECORD_BAD_LINE_END;
    }
    int32_t length = RECORD_MESSAGE_WIDTH;
    while (length > 0 && message[length - 1] == ' ') {
        --length;
    }
    fields->message = message;
    fields->messageLength = length;
    return RECORD_OK;
}

const char* RecordProblemText(int32_t problem) {
    switch (problem) {
    case RECORD_BAD_MARK:
        return "erstes Byte ist nicht $";
    case RECORD_BAD_IP:
        return "IP-Adresse nicht in der Form ddd.ddd.ddd.ddd (je 000 bis 255)";
    case RECORD_BAD_PORT:
        return "Port nicht aus 5 Ziffern";
    case RECORD_BAD_STAMP:
        return "Zeit nicht aus 14 Ziffern";
    case RECORD_BAD_TIME:
        return "keine gueltige Zeit (Datum oder Uhrzeit unmoeglich)";
    case RECORD_BAD_COUNTER:
        return "Zaehler nicht aus 3 Ziffern";
    case RECORD_NUL_IN_MESSAGE:
        return "Nullbyte in der Nachricht";
    case RECORD_BAD_LINE_END:
        return "kein CR LF am Satzende";
    default:
        return "in Ordnung";
    }
}

std::time_t RecordStampTime(const unsigned char* record) {
    RecordFields fields{};
    if (RecordDecode(record, &fields) != RECORD_OK || fields.stamp[0] == '\0') {
        return 0;
    }
    // YYYY MM DD hh mm ss: the decoder has checked every part is a digit.
    int64_t parts[6] = {};
    const int32_t widths[6] = {4, 2, 2, 2, 2, 2};
    const char* at = fields.stamp;
    for (int32_t i = 0; i < 6; ++i) {
        DecimalParse(at, static_cast<std::size_t>(widths[i]), 9999, &parts[i]);
        at += widths[i];
    }
    std::tm local{};
    local.tm_year = static_cast<int>(parts[0]) - 1900;
    local.tm_mon = static_cast<int>(parts[1]) - 1;
    local.tm_mday = static_cast<int>(parts[2]);
    local.tm_hour = static_cast<int>(parts[3]);
    local.tm_min = static_cast<int>(parts[4]);
    local.tm_sec = static_cast<int>(parts[5]);
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    return when == static_cast<std::time_t>(-1) ? 0 : when;
}
