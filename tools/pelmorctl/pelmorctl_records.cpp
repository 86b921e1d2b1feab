// pelmorctl records: the records of a buffer file decoded, oldest first, as
// text for people, as JSON lines or as CSV. Broken records are named on
// standard error and skipped.
#include "pelmorctl.h"

#include <cstdio>
#include <cstring>

#include "buffer_file.h"
#include "buffer_platform.h"
#include "common/text_line.h"
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
constexpr int32_t RECORDS_HEAD_MAX = 160; // the other fields, punctuation and line end
constexpr int32_t RECORDS_LINE_SIZE = RECORDS_HEAD_MAX + RECORD_MESSAGE_WIDTH * TOOL_ESCAPE_MAX;

BufferReader recordsReader;          // one block of records; too large for the stack
char recordsLine[RECORDS_LINE_SIZE]; // one line of output, written with one call

// A CSV field: quoted when it holds a comma, a quote, CR or LF, a quote
// doubled inside; every byte otherwise as it is.
void RecordsPutCsvText(ToolLine* line, const unsigned char* text, int32_t length) {
    bool quote = false;
    for (int32_t i = 0; i < length && !quote; ++i) {
        quote = text[i] == ',' || text[i] == '"' || text[i] == '\r' || text[i] == '\n';
    }
    if (!quote) {
        ToolLinePut(line, reinterpret_cast<const char*>(text), length);
        return;
    }
    ToolLinePutChar(line, '"');
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] == '"') {
            ToolLinePutChar(line, '"');
        }
        ToolLinePutChar(line, static_cast<char>(text[i]));
    }
    ToolLinePutChar(line, '"');
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

void RecordsPutNumber(ToolLine* line, int64_t value, int32_t digits) {
    char text[20];
    const int32_t length = static_cast<int32_t>(DecimalPut(text, value) - text);
    for (int32_t zeros = digits - length; zeros > 0; --zeros) {
        ToolLinePutChar(line, '0');
    }
    ToolLinePut(line, text, length);
}

void RecordsWrite(RecordsFormat format, int64_t number, const RecordFields& record) {
    const RecordsStyle& style = recordsStyles[format];
    ToolLine output{recordsLine, RECORDS_LINE_SIZE, 0};
    ToolLine* line = &output;
    ToolLinePutText(line, style.before[0]);
    RecordsPutNumber(line, number, 1);
    ToolLinePutText(line, style.before[1]);
    ToolLinePutText(line, record.ip);
    ToolLinePutText(line, style.before[2]);
    RecordsPutNumber(line, record.port, 1);
    ToolLinePutText(line, style.before[3]);
    if (record.stamp[0] == '\0') {
        ToolLinePutText(line, style.noTime);
    } else {
        char stampText[BUFFER_STAMP_TEXT_SIZE];
        BufferStampText(record.stamp, style.timeSeparator, stampText);
        ToolLinePutText(line, style.timeQuote);
        ToolLinePutText(line, stampText);
        ToolLinePutText(line, style.timeQuote);
    }
    ToolLinePutText(line, style.before[4]);
    RecordsPutNumber(line, record.seq, style.seqDigits);
    ToolLinePutText(line, style.before[5]);
    switch (format) {
    case RECORDS_TEXT:
        ToolLinePutEscaped(line, record.message, record.messageLength);
        break;
    case RECORDS_JSON:
        ToolLinePutJson(line, record.message, record.messageLength);
        break;
    case RECORDS_CSV:
        RecordsPutCsvText(line, record.message, record.messageLength);
        break;
    }
    ToolLinePutText(line, style.end);
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
        return TOOL_EXIT_USAGE;
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
        return TOOL_EXIT_USAGE;
    }
    if (std::fflush(stdout) != 0) {
        std::fputs("pelmorctl: Ausgabe nicht vollstaendig geschrieben\n", stderr);
        return TOOL_EXIT_USAGE;
    }
    return broken ? TOOL_EXIT_FAILED : TOOL_EXIT_OK;
}
