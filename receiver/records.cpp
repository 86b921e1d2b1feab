// Buffer-file records and the fifteen-character IP text they carry.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "receiver/pelmor.h"

uint32_t PelmorRecordCounter = 0;
char PelmorMessageBuffer[PELMOR_LOGTEXT_SIZE];

namespace {

constexpr char RECORD_ZERO_STAMP[] = "00000000000000";
constexpr uint32_t RECORD_COUNTER_MAX = 999;
constexpr unsigned long RECORD_PORT_MODULUS = 100000; // the port column holds five digits
constexpr int IP_PARTS = 4;
constexpr std::size_t IP_FIELD_SIZE = sizeof(ReceiverContext{}.localIP);

// Local time as 14 digits; 0 and the zero stamp when it cannot be had.
int RecordStamp(char (&stamp)[15])
{
    const std::time_t now = std::time(nullptr);
    const std::tm* local = now == static_cast<std::time_t>(-1) ? nullptr : std::localtime(&now);
    if (local == nullptr || std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", local) == 0) {
        std::memcpy(stamp, RECORD_ZERO_STAMP, sizeof stamp);
        return 0;
    }
    return 1;
}

bool IpIsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One part as atoi reads it, kept to its low eight bits; *pos moves past the
// part's dot, or to end when there is none.
unsigned IpPartValue(const char* text, std::size_t end, std::size_t* pos)
{
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

int FormatRcvMsg(ReceiverContext* context, const char* message, char* record, int32_t capacity)
{
    char stamp[15];
    const int result = RecordStamp(stamp);
    PelmorRecordCounter = PelmorRecordCounter < RECORD_COUNTER_MAX ? PelmorRecordCounter + 1 : 0;
    if (capacity < 0) {
        return result;
    }

    // Bounded copies: the fields need not be terminated.
    char localIP[IP_FIELD_SIZE] = "";
    std::memcpy(localIP, context->localIP, sizeof localIP - 1);
    char portText[sizeof context->portText + 1] = "";
    std::memcpy(portText, context->portText, sizeof context->portText);
    // The value as an unsigned 32-bit number, its last five digits.
    const unsigned long port =
        static_cast<uint32_t>(std::atol(portText)) % RECORD_PORT_MODULUS;

    std::snprintf(record, static_cast<std::size_t>(capacity) + 1,
                  "$%-15.15s%.5lu%14.14s%.3u%-512.512s\n", localIP, port, stamp,
                  static_cast<unsigned>(PelmorRecordCounter), message);
    return result;
}

void FormatIPString(char* text)
{
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
