// pelmorctl records: the records of a buffer file decoded, oldest first, as
// text for people, as JSON lines or as CSV. Broken records are named on
// standard error and skipped.
#include "pelmorctl.h"

#include <cstdio>
#include <cstring>

#include "buffer_file.h"
#include "buffer_platform.h"
#include "protocol/decimal.h"

namespace {

enum RecordsFormat { RECORDS_TEXT, RECORDS_JSON, RECORDS_CSV };

struct RecordsCall {
    const char* path;
    int64_t from;  // the first record shown, counted from 1
    int64_t count; // records from there, -1: all
    RecordsFormat format;
};

constexpr int64_t RECORDS_NUMBER_MAX = 1000000000000000; // far beyond any file
// The longest escape of one message byte: \udcXX in JSON.
constexpr int32_t RECORDS_ESCAPE_MAX = 6;
constexpr int32_t RECORDS_HEAD_MAX = 160; // the other fields, punctuation and line end
constexpr int32_t RECORDS_LINE_SIZE = RECORDS_HEAD_MAX + RECORD_MESSAGE_WIDTH * RECORDS_ESCAPE_MAX;
constexpr const char* RECORDS_HEX = "0123456789abcdef";

// One line of output, built whole and written with one call.
struct RecordsLine {
    int32_t length;
    char text[RECORDS_LINE_SIZE];
};

BufferReader recordsReader; // one block of records; too large for the stack
RecordsLine recordsLine;

void RecordsPut(RecordsLine* line, const char* text, int32_t length) {
    if (length > RECORDS_LINE_SIZE - line->length) {
        length = RECORDS_LINE_SIZE - line->length; // cannot happen: the size holds the worst case
    }
    std::memcpy(line->text + line->length, text, static_cast<std::size_t>(length));
    line->length += length;
}

void RecordsPutChar(RecordsLine* line, char c) {
    if (line->length < RECORDS_LINE_SIZE) {
        line->text[line->length++] = c;
    }
}

// A backslash, the letter and two hex digits of byte, e.g. \x0b.
void RecordsPutHex(RecordsLine* line, const char* prefix, unsigned char byte) {
    RecordsPut(line, prefix, static_cast<int32_t>(std::strlen(prefix)));
    RecordsPutChar(line, RECORDS_HEX[byte >> 4]);
    RecordsPutChar(line, RECORDS_HEX[byte & 0xf]);
}

// Bytes of the well-formed UTF-8 sequence at text (no overlong forms, no
// surrogates, nothing above U+10FFFF), 0 when there is none.
int32_t RecordsUtf8Length(const unsigned char* text, int32_t left) {
    const unsigned char lead = text[0];
    int32_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xbf; // bounds of the second byte
    if (lead < 0xc2 || lead > 0xf4) {
        return 0;
    }
    if (lead < 0xe0) {
        length = 2;
    } else if (lead < 0xf0) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    }
    if (length > left || text[1] < low || text[1] > high) {
        return 0;
    }
    for (int32_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xbf) {
            return 0;
        }
    }
    return length;
}

// The escapes JSON and C share: backslash, CR, LF and tab. 1 when c was one.
int RecordsPutCommonEscape(RecordsLine* line, unsigned char c) {
    const char* escape = c == '\\'   ? "\\\\"
                         : c == '\r' ? "\\r"
                         : c == '\n' ? "\\n"
                         : c == '\t' ? "\\t"
                                     : nullptr;
    if (escape == nullptr) {
        return 0;
    }
    RecordsPut(line, escape, 2);
    return 1;
}

// Writes the bytes from text on that go as they are, in one copy: printable
// ASCII other than the two in special, and well-formed UTF-8. Returns how
// many there were.
int32_t RecordsPutPlainRun(RecordsLine* line, const unsigned char* text, int32_t length,
                           const char* special) {
    const unsigned char first = static_cast<unsigned char>(special[0]);
    const unsigned char second = static_cast<unsigned char>(special[1]);
    int32_t run = 0;
    while (run < length) {
        const unsigned char c = text[run];
        const int32_t step = c >= 0x80 ? RecordsUtf8Length(text + run, length - run)
                             : c >= 0x20 && c < 0x7f && c != first && c != second ? 1
                                                                                  : 0;
        if (step == 0) {
            break;
        }
        run += step;
    }
    RecordsPut(line, reinterpret_cast<const char*>(text), run);
    return run;
}

// A JSON string. Well-formed UTF-8 goes as it is; every other byte XX of
// 0x80..0xff becomes \udcXX, a lone surrogate no UTF-8 text can hold, so a
// reader gets the bytes back exactly.
void RecordsPutJsonText(RecordsLine* line, const unsigned char* text, int32_t length) {
    RecordsPutChar(line, '"');
    for (int32_t i = 0; i < length; ++i) {
        i += RecordsPutPlainRun(line, text + i, length - i, "\"\\");
        if (i == length) {
            break;
        }
        const unsigned char c = text[i];
        if (c == '"') {
            RecordsPut(line, "\\\"", 2);
        } else if (RecordsPutCommonEscape(line, c) == 0) {
            RecordsPutHex(line, c >= 0x80 ? "\\udc" : "\\u00", c);
        }
    }
    RecordsPutChar(line, '"');
}

// A CSV field: quoted when it holds a comma, a quote, CR or LF, a quote
// doubled inside; every byte otherwise as it is.
void RecordsPutCsvText(RecordsLine* line, const unsigned char* text, int32_t length) {
    bool quote = false;
    for (int32_t i = 0; i < length && !quote; ++i) {
        quote = text[i] == ',' || text[i] == '"' || text[i] == '\r' || text[i] == '\n';
    }
    if (!quote) {
        RecordsPut(line, reinterpret_cast<const char*>(text), length);
        return;
    }
    RecordsPutChar(line, '"');
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] == '"') {
            RecordsPutChar(line, '"');
        }
        RecordsPutChar(line, static_cast<char>(text[i]));
    }
    RecordsPutChar(line, '"');
}

// For people: control bytes, bytes that are not UTF-8 and the backslash as C
// escapes (\r, \n, \t, \xHH, \\), so that one record stays one line.
void RecordsPutPlainText(RecordsLine* line, const unsigned char* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        i += RecordsPutPlainRun(line, text + i, length - i, "\\\\");
        if (i < length && RecordsPutCommonEscape(line, text[i]) == 0) {
            RecordsPutHex(line, "\\x", text[i]);
        }
    }
}

// How a format frames the fields n, ip, port, time, seq and message.
struct RecordsStyle {
    const char* before[6]; // the text before each field
    const char* end;       // after the message
    char timeSeparator;    // between date and time of day
    const char* timeQuote;
    const char* noTime; // for the zero stamp
    int32_t seqDigits;  // leading zeros up to this width
};

const RecordsStyle recordsStyles[] = {
    // RECORDS_TEXT
    {{"", "  ", "  ", "  ", "  ", "  "}, "\n", ' ', "", "keine Zeit", RECORD_COUNTER_DIGITS},
    // RECORDS_JSON; the stamp is local time with no zone, so no offset is added
    {{"{\"n\": ", ", \"ip\": \"",
      "\", \"port\": ", ", \"time\": ", ", \"seq\": ", ", \"message\": "},
     "}\n",
     'T',
     "\"",
     "null",
     1},
    // RECORDS_CSV
    {{"", ",", ",", ",", ",", ","}, "\r\n", 'T', "", "", 1},
};

void RecordsPutText(RecordsLine* line, const char* text) {
    RecordsPut(line, text, static_cast<int32_t>(std::strlen(text)));
}

void RecordsPutNumber(RecordsLine* line, int64_t value, int32_t digits) {
    char text[20];
    const int32_t length = static_cast<int32_t>(DecimalPut(text, value) - text);
    for (int32_t zeros = digits - length; zeros > 0; --zeros) {
        RecordsPutChar(line, '0');
    }
    RecordsPut(line, text, length);
}

void RecordsWrite(RecordsFormat format, int64_t number, const RecordFields& record) {
    const RecordsStyle& style = recordsStyles[format];
    RecordsLine* line = &recordsLine;
    line->length = 0;
    RecordsPutText(line, style.before[0]);
    RecordsPutNumber(line, number, 1);
    RecordsPutText(line, style.before[1]);
    RecordsPutText(line, record.ip);
    RecordsPutText(line, style.before[2]);
    RecordsPutNumber(line, record.port, 1);
    RecordsPutText(line, style.before[3]);
    if (record.stamp[0] == '\0') {
        RecordsPutText(line, style.noTime);
    } else {
        char stampText[BUFFER_STAMP_TEXT_SIZE];
        BufferStampText(record.stamp, style.timeSeparator, stampText);
        RecordsPutText(line, style.timeQuote);
        RecordsPutText(line, stampText);
        RecordsPutText(line, style.timeQuote);
    }
    RecordsPutText(line, style.before[4]);
    RecordsPutNumber(line, record.seq, style.seqDigits);
    RecordsPutText(line, style.before[5]);
    switch (format) {
    case RECORDS_TEXT:
        RecordsPutPlainText(line, record.message, record.messageLength);
        break;
    case RECORDS_JSON:
        RecordsPutJsonText(line, record.message, record.messageLength);
        break;
    case RECORDS_CSV:
        RecordsPutCsvText(line, record.message, record.messageLength);
        break;
    }
    RecordsPutText(line, style.end);
    std::fwrite(line->text, 1, static_cast<std::size_t>(line->length), stdout);
}

// Digits only, 0..RECORDS_NUMBER_MAX; -1 otherwise.
int64_t RecordsNumber(const char* text) {
    int64_t value = 0;
    return DecimalParse(text, std::strlen(text), RECORDS_NUMBER_MAX, &value) ? value : -1;
}

// FILE [--from N] [--count K] [--json | --csv], options in any order. 1, or 0
// for a wrong call.
int RecordsParse(int argc, char** argv, RecordsCall* call) {
    *call = RecordsCall{nullptr, 1, -1, RECORDS_TEXT};
    for (int i = 0; i < argc; ++i) {
        const char* word = argv[i];
        const bool format = std::strcmp(word, "--json") == 0 || std::strcmp(word, "--csv") == 0;
        if (format) {
            if (call->format != RECORDS_TEXT) {
                return 0;
            }
            call->format = word[2] == 'j' ? RECORDS_JSON : RECORDS_CSV;
        } else if (std::strcmp(word, "--from") == 0 || std::strcmp(word, "--count") == 0) {
            const int64_t value = i + 1 < argc ? RecordsNumber(argv[++i]) : -1;
            if (value < 0 || (word[2] == 'f' && value == 0)) {
                return 0;
            }
            if (word[2] == 'f') {
                call->from = value;
            } else {
                call->count = value;
            }
        } else if (call->path == nullptr && word[0] != '-') {
            call->path = word;
        } else {
            return 0;
        }
    }
    return call->path != nullptr;
}

} // namespace

int PelmorctlRecords(int argc, char** argv) {
    RecordsCall call;
    if (RecordsParse(argc, argv, &call) == 0) {
        return -1;
    }
    if (BufferOpen(&recordsReader, call.path) == 0) {
        return PELMORCTL_USAGE;
    }
    if (call.format != RECORDS_TEXT) {
        StdoutBinaryMode();
    }
    if (call.format == RECORDS_CSV) {
        std::fputs("n,ip,port,time,seq,message\r\n", stdout);
    }
    int result = BufferSkip(&recordsReader, call.from - 1) ? BUFFER_RECORD : BUFFER_READ_FAILED;
    int broken = 0;
    const unsigned char* record = nullptr;
    int32_t length = 0;
    int64_t offset = (call.from - 1) * PELMOR_DISK_RECORD_LENGTH;
    for (int64_t shown = 0; result == BUFFER_RECORD && (call.count < 0 || shown < call.count);
         ++shown) {
        result = BufferNext(&recordsReader, &record, &length, &offset);
        const int64_t number = offset / PELMOR_DISK_RECORD_LENGTH + 1;
        if (result == BUFFER_TORN) {
            std::fprintf(stderr,
                         "pelmorctl: Satz %lld (Byte %lld) unvollstaendig, %d von %d Bytes; "
                         "uebersprungen\n",
                         static_cast<long long>(number), static_cast<long long>(offset),
                         static_cast<int>(length), static_cast<int>(PELMOR_DISK_RECORD_LENGTH));
            broken = 1;
        }
        if (result != BUFFER_RECORD) {
            break;
        }
        RecordFields decoded;
        const int32_t problem = RecordDecode(record, &decoded);
        if (problem != RECORD_OK) {
            std::fprintf(stderr, "pelmorctl: Satz %lld (Byte %lld) uebersprungen: %s\n",
                         static_cast<long long>(number), static_cast<long long>(offset),
                         RecordProblemText(problem));
            broken = 1;
            continue;
        }
        RecordsWrite(call.format, number, decoded);
    }
    BufferClose(&recordsReader);
    if (result == BUFFER_READ_FAILED) {
        std::fprintf(stderr, "pelmorctl: %s: Lesefehler bei Byte %lld\n", call.path,
                     static_cast<long long>(offset));
        return PELMORCTL_USAGE;
    }
    if (std::fflush(stdout) != 0) {
        std::fputs("pelmorctl: Ausgabe nicht vollstaendig geschrieben\n", stderr);
        return PELMORCTL_USAGE;
    }
    return broken ? PELMORCTL_FAILED : PELMORCTL_OK;
}
