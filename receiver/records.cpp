// Buffer-file records and the fifteen-character IP text they carry.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "records.h"

uint32_t PelmorRecordCounter = 0;

namespace {

constexpr int IP_PARTS = 4;
constexpr std::size_t IP_FIELD_SIZE = sizeof(ReceiverContext{}.localIP);
static_assert(IP_FIELD_SIZE - 1 == static_cast<std::size_t>(RECORD_IP_WIDTH),
              "localIP fills the IP column");

// The stamp of the last second formatted: local time changes only from one
// second to the next, and working it out costs a look at the zone file.
std::time_t recordStampSecond = static_cast<std::time_t>(-1);
char recordStampText[RECORD_STAMP_WIDTH + 1];

// Local time as 14 digits and the calendar time it shows; -1 and the zero
// stamp when it cannot be had.
int64_t RecordStamp(char (&stamp)[RECORD_STAMP_WIDTH + 1]) {
    const std::time_t now = std::time(nullptr);
    if (now != static_cast<std::time_t>(-1) && now == recordStampSecond) {
        std::memcpy(stamp, recordStampText, sizeof stamp);
        return static_cast<int64_t>(now);
    }
    const std::tm* local = now == static_cast<std::time_t>(-1) ? nullptr : std::localtime(&now);
    if (local == nullptr || std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", local) == 0) {
        std::memcpy(stamp, RECORD_ZERO_STAMP, sizeof stamp);
        return -1;
    }
    recordStampSecond = now;
    std::memcpy(recordStampText, stamp, sizeof stamp);
    return static_cast<int64_t>(now);
}

bool IpIsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One part as atoi reads it, kept to its low eight bits; *pos moves past the
// part's dot, or to end when there is none.
unsigned IpPartValue(const char* text, std::size_t end, std::size_t* pos) {
    std::size_t i = *pos;
    while (i < end && IpIsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned value = 0; // modulo 256 all along: the low bits do not depend on the high ones
    while (i < end && text[i] >= '0' && text[i] <= '9') {
        value = (value * 10 + static_cast<unsigned>(text[i] - '0')) % 256;
        ++i;
    }
    while (i < end && text[i] != '.') {
        ++i;
    }
    *pos = i < end ? i + 1 : end;
    return negative ? (256 - value) % 256 : value;
}

} // namespace

void FormatRecordPrefix(ReceiverContext* context) {
    // The port as start-up validated it, its value taken as unsigned.
    RecordEncodePrefix(context->localIP, static_cast<uint32_t>(context->port),
                       context->recordPrefix);
}

int64_t BuildDiskRecord(const char (&prefix)[RECORD_STAMP_AT], uint32_t* counter,
                        const char* message, char (&record)[PELMOR_DISK_RECORD_LENGTH + 1]) {
    char stamp[RECORD_STAMP_WIDTH + 1];
    const int64_t stampTime = RecordStamp(stamp);
    *counter = *counter < RECORD_COUNTER_MAX ? *counter + 1 : 0;
    RecordEncode(prefix, stamp, *counter, message, record);
    return stampTime;
}

int FormatRcvMsg(ReceiverContext* context, const char* message, char* record, int32_t capacity) {
    FormatRecordPrefix(context);
    char line[PELMOR_DISK_RECORD_LENGTH + 1];
    const int64_t stampTime =
        BuildDiskRecord(context->recordPrefix, &PelmorRecordCounter, message, line);
    line[RECORD_LINE_END_AT] = '\n'; // as one line of text
    if (capacity >= 0) {
        const std::size_t length =
            std::min(static_cast<std::size_t>(capacity), std::size_t{PELMOR_RECORD_LENGTH});
        std::memcpy(record, line, length);
        record[length] = '\0';
    }
    return stampTime != -1;
}

void FormatIPString(char* text) {
    const void* terminator = std::memchr(text, '\0', IP_FIELD_SIZE);
    const std::size_t end =
        terminator ? static_cast<std::size_t>(static_cast<const char*>(terminator) - text)
                   : IP_FIELD_SIZE;
    unsigned parts[IP_PARTS];
    std::size_t pos = 0;
    for (unsigned& part : parts) {
        part = IpPartValue(text, end, &pos);
    }
    std::snprintf(text, IP_FIELD_SIZE, "%.3u.%.3u.%.3u.%.3u", parts[0], parts[1], parts[2],
                  parts[3]);
}
