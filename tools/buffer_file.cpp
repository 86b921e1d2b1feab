// The buffer file read back in fixed blocks, and its records checked and
// decoded against the receiver's own layout.
#include "buffer_file.h"
#include "buffer_platform.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t BUFFER_IP_PARTS = 4;
constexpr int32_t BUFFER_IP_PART_DIGITS = 3;
constexpr int32_t BUFFER_IP_PART_MAX = 255;
constexpr int64_t BUFFER_SEEK_MAX = INT32_MAX; // a LONG seek reaches no further

bool BufferDigits(const unsigned char* at, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        if (at[i] < '0' || at[i] > '9') {
            return false;
        }
    }
    return true;
}

int32_t BufferNumber(const unsigned char* at, int32_t count) {
    int32_t value = 0;
    for (int32_t i = 0; i < count; ++i) {
        value = value * 10 + (at[i] - '0');
    }
    return value;
}

// ddd.ddd.ddd.ddd with every part at most 255, as FormatIPString writes it;
// 1 and the dotted text without leading zeros, else 0.
int BufferDecodeIp(const unsigned char* column, char (&ip)[RECORD_IP_WIDTH + 1]) {
    int32_t parts[BUFFER_IP_PARTS];
    for (int32_t part = 0; part < BUFFER_IP_PARTS; ++part) {
        const int32_t start = part * (BUFFER_IP_PART_DIGITS + 1);
        const unsigned char* at = column + start;
        if (!BufferDigits(at, BUFFER_IP_PART_DIGITS) || (part > 0 && at[-1] != '.')) {
            return 0;
        }
        parts[part] = BufferNumber(at, BUFFER_IP_PART_DIGITS);
        if (parts[part] > BUFFER_IP_PART_MAX) {
            return 0;
        }
    }
    char* at = ip;
    for (int32_t part = 0; part < BUFFER_IP_PARTS; ++part) {
        if (part > 0) {
            *at++ = '.';
        }
        at = BufferPutDecimal(at, parts[part]);
    }
    *at = '\0';
    return 1;
}

bool BufferLeapYear(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// A calendar date from year 1 and a time of day (second 60 for a leap second).
bool BufferValidTime(const unsigned char* stamp) {
    static const int32_t daysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int32_t year = BufferNumber(stamp, 4);
    const int32_t month = BufferNumber(stamp + 4, 2);
    const int32_t day = BufferNumber(stamp + 6, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int32_t lastDay = daysInMonth[month - 1] + (month == 2 && BufferLeapYear(year));
    return day <= lastDay && BufferNumber(stamp + 8, 2) <= 23 &&
           BufferNumber(stamp + 10, 2) <= 59 && BufferNumber(stamp + 12, 2) <= 60;
}

// Fills the block from the file behind the bytes not yet handed out. 1, or 0
// when reading failed.
int BufferFill(BufferReader* reader) {
    const int32_t kept = reader->length - reader->at;
    std::memmove(reader->block, reader->block + reader->at, static_cast<std::size_t>(kept));
    reader->blockOffset += reader->at;
    reader->length = kept;
    reader->at = 0;
    while (reader->length < static_cast<int32_t>(sizeof reader->block)) {
        const LONG got = _hread(reader->file, reader->block + reader->length,
                                static_cast<LONG>(sizeof reader->block) - reader->length);
        if (got < 0) {
            return 0;
        }
        if (got == 0) {
            break;
        }
        reader->length += got;
    }
    return 1;
}

} // namespace

int BufferOpen(BufferReader* reader, const char* path) {
    reader->file = _lopen(path, OF_READ);
    if (reader->file != HFILE_ERROR && BufferRegularFile(reader->file) == 0) {
        _lclose(reader->file);
        reader->file = HFILE_ERROR;
    }
    if (reader->file == HFILE_ERROR) {
        std::fprintf(stderr,
                     "pelmorctl: %s nicht lesbar (fehlt, keine Leserechte oder keine "
                     "regulaere Datei)\n",
                     path);
        return 0;
    }
    reader->blockOffset = 0;
    reader->length = 0;
    reader->at = 0;
    return 1;
}

void BufferClose(BufferReader* reader) {
    _lclose(reader->file);
}

int BufferSkip(BufferReader* reader, int64_t records) {
    const int64_t target = records * PELMOR_DISK_RECORD_LENGTH;
    if (target <= BUFFER_SEEK_MAX) {
        if (_llseek(reader->file, static_cast<LONG>(target), FILE_BEGIN) != target) {
            return 0;
        }
        reader->blockOffset = target;
        reader->length = 0;
        reader->at = 0;
        return 1;
    }
    // Further than a seek reaches: read past them.
    const unsigned char* record = nullptr;
    int32_t length = 0;
    int64_t offset = 0;
    for (int64_t skipped = 0; skipped < records; ++skipped) {
        const int result = BufferNext(reader, &record, &length, &offset);
        if (result == BUFFER_READ_FAILED) {
            return 0;
        }
        if (result != BUFFER_RECORD) {
            break;
        }
    }
    return 1;
}

int BufferNext(BufferReader* reader, const unsigned char** record, int32_t* length,
               int64_t* offset) {
    *offset = reader->blockOffset + reader->at; // a fill moves the block, not this
    if (reader->length - reader->at < PELMOR_DISK_RECORD_LENGTH && BufferFill(reader) == 0) {
        return BUFFER_READ_FAILED;
    }
    const int32_t left = reader->length - reader->at;
    *record = reader->block + reader->at;
    if (left == 0) {
        *length = 0;
        return BUFFER_END;
    }
    if (left < PELMOR_DISK_RECORD_LENGTH) {
        *length = left;
        reader->at = reader->length;
        return BUFFER_TORN;
    }
    *length = PELMOR_DISK_RECORD_LENGTH;
    reader->at += PELMOR_DISK_RECORD_LENGTH;
    return BUFFER_RECORD;
}

int32_t BufferDecode(const unsigned char* record, BufferRecord* decoded) {
    const unsigned char* counter = record + RECORD_COUNTER_AT;
    decoded->seq = BufferDigits(counter, RECORD_COUNTER_DIGITS)
                       ? BufferNumber(counter, RECORD_COUNTER_DIGITS)
                       : -1;
    if (record[RECORD_MARK_AT] != RECORD_MARK) {
        return BUFFER_BAD_MARK;
    }
    if (BufferDecodeIp(record + RECORD_IP_AT, decoded->ip) == 0) {
        return BUFFER_BAD_IP;
    }
    if (!BufferDigits(record + RECORD_PORT_AT, RECORD_PORT_DIGITS)) {
        return BUFFER_BAD_PORT;
    }
    decoded->port = BufferNumber(record + RECORD_PORT_AT, RECORD_PORT_DIGITS);
    const unsigned char* stamp = record + RECORD_STAMP_AT;
    if (!BufferDigits(stamp, RECORD_STAMP_WIDTH)) {
        return BUFFER_BAD_STAMP;
    }
    const bool zeroStamp = std::memcmp(stamp, RECORD_ZERO_STAMP, RECORD_STAMP_WIDTH) == 0;
    if (!zeroStamp && !BufferValidTime(stamp)) {
        return BUFFER_BAD_TIME;
    }
    std::memcpy(decoded->stamp, stamp, RECORD_STAMP_WIDTH);
    decoded->stamp[zeroStamp ? 0 : RECORD_STAMP_WIDTH] = '\0';
    if (decoded->seq < 0) {
        return BUFFER_BAD_COUNTER;
    }
    const unsigned char* message = record + RECORD_MESSAGE_AT;
    // The receiver takes a message up to its first zero byte.
    if (std::memchr(message, '\0', RECORD_MESSAGE_WIDTH) != nullptr) {
        return BUFFER_NUL_IN_MESSAGE;
    }
    if (record[RECORD_LINE_END_AT] != '\r' || record[RECORD_LINE_END_AT + 1] != '\n') {
        return BUFFER_BAD_LINE_END;
    }
    int32_t length = RECORD_MESSAGE_WIDTH;
    while (length > 0 && message[length - 1] == ' ') {
        --length;
    }
    decoded->message = message;
    decoded->messageLength = length;
    return BUFFER_OK;
}

const char* BufferProblemText(int32_t problem) {
    switch (problem) {
    case BUFFER_BAD_MARK:
        return "erstes Byte ist nicht $";
    case BUFFER_BAD_IP:
        return "IP-Adresse nicht in der Form ddd.ddd.ddd.ddd (je 000 bis 255)";
    case BUFFER_BAD_PORT:
        return "Port nicht aus 5 Ziffern";
    case BUFFER_BAD_STAMP:
        return "Zeit nicht aus 14 Ziffern";
    case BUFFER_BAD_TIME:
        return "keine gueltige Zeit (Datum oder Uhrzeit unmoeglich)";
    case BUFFER_BAD_COUNTER:
        return "Zaehler nicht aus 3 Ziffern";
    case BUFFER_NUL_IN_MESSAGE:
        return "Nullbyte in der Nachricht";
    case BUFFER_BAD_LINE_END:
        return "kein CR LF am Satzende";
    default:
        return "in Ordnung";
    }
}

void BufferStampText(const char* stamp, char separator, char (&text)[BUFFER_STAMP_TEXT_SIZE]) {
    // Set by hand: it is done for every record, and printf would cost more
    // than the rest of the record's decoding.
    static const char pattern[] = "YYYY-MM-DD_hh:mm:ss";
    static_assert(sizeof pattern == BUFFER_STAMP_TEXT_SIZE, "the text fits");
    const char* digit = stamp;
    for (std::size_t i = 0; i < sizeof pattern; ++i) {
        const char c = pattern[i];
        text[i] = c == '-' || c == ':' || c == '\0' ? c : c == '_' ? separator : *digit++;
    }
}

char* BufferPutDecimal(char* at, int64_t value) {
    char digits[20];
    int32_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && count < static_cast<int32_t>(sizeof digits));
    while (count > 0) {
        *at++ = digits[--count];
    }
    return at;
}
