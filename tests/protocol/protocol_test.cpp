// The record encoder and decoder against each other, and what the decoder
// refuses; the decimal numbers at their bounds.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "protocol/decimal.h"
#include "protocol/record.h"

namespace {

struct RoundTrip {
    const char* localIP;
    uint32_t port;
    const char* stamp;
    uint32_t counter;
    std::string message;
    // What comes back.
    const char* ip;
    int32_t portValue;
    const char* stampValue;
    int32_t seq;
    std::string messageValue;
};

TEST(Record, EncodedRecordDecodesToWhatWentIn) {
    const std::string full(PELMOR_MESSAGE_MAX, 'M');
    const RoundTrip cases[] = {
        {"192.168.001.005", 6664, "20260507143005", 1, "erste \"Nachricht\"", "192.168.1.5", 6664,
         "20260507143005", 1, "erste \"Nachricht\""},
        {"000.000.000.000", 1, RECORD_ZERO_STAMP, 999, "", "0.0.0.0", 1, "", 999, ""},
        {"255.255.255.255", 165535, "20240229235960", 1000, "a\r\nb \xff\x01", "255.255.255.255",
         65535, "20240229235960", 0, "a\r\nb \xff\x01"},
        {"127.000.000.001", 80, "00010101000000", 7, full + "cut", "127.0.0.1", 80,
         "00010101000000", 7, full},
        {"127.000.000.001", 80, "20260507143005", 2, "trailing blanks   ", "127.0.0.1", 80,
         "20260507143005", 2, "trailing blanks"},
    };
    for (const RoundTrip& c : cases) {
        char prefix[RECORD_STAMP_AT];
        RecordEncodePrefix(c.localIP, c.port, prefix);
        char record[PELMOR_DISK_RECORD_LENGTH + 1];
        std::memset(record, '#', sizeof record);
        RecordEncode(prefix, c.stamp, c.counter, c.message.c_str(), record);
        EXPECT_EQ(std::strlen(record), static_cast<std::size_t>(PELMOR_DISK_RECORD_LENGTH));

        RecordFields fields{};
        ASSERT_EQ(RecordDecode(reinterpret_cast<const unsigned char*>(record), &fields), RECORD_OK)
            << c.message;
        EXPECT_STREQ(fields.ip, c.ip);
        EXPECT_EQ(fields.port, c.portValue);
        EXPECT_STREQ(fields.stamp, c.stampValue);
        EXPECT_EQ(fields.seq, c.seq);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(fields.message),
                              static_cast<std::size_t>(fields.messageLength)),
                  c.messageValue);
    }
}

TEST(Record, DecoderNamesTheFirstBrokenColumn) {
    char prefix[RECORD_STAMP_AT];
    RecordEncodePrefix("010.000.000.001", 6664, prefix);
    char good[PELMOR_DISK_RECORD_LENGTH + 1];
    RecordEncode(prefix, "20230228120000", 5, "Nachricht", good);
    const struct {
        int32_t at;
        const char* bytes;
        int32_t problem;
    } cases[] = {
        {RECORD_MARK_AT, "#", RECORD_BAD_MARK},
        {RECORD_IP_AT, "256", RECORD_BAD_IP},
        {RECORD_IP_AT + 3, ":", RECORD_BAD_IP},
        {RECORD_IP_AT + 14, "x", RECORD_BAD_IP},
        {RECORD_PORT_AT + 4, " ", RECORD_BAD_PORT},
        {RECORD_STAMP_AT + 13, "-", RECORD_BAD_STAMP},
        {RECORD_STAMP_AT + 4, "0229", RECORD_BAD_TIME}, // 2023 has no 29 February
        {RECORD_STAMP_AT + 8, "24", RECORD_BAD_TIME},
        {RECORD_STAMP_AT, "0000", RECORD_BAD_TIME}, // year 0, not the whole zero stamp
        {RECORD_COUNTER_AT, "0a5", RECORD_BAD_COUNTER},
        {RECORD_MESSAGE_AT + 511, "", RECORD_NUL_IN_MESSAGE},
        {RECORD_LINE_END_AT, "\n\r", RECORD_BAD_LINE_END},
    };
    for (const auto& c : cases) {
        char record[sizeof good];
        std::memcpy(record, good, sizeof good);
        std::memcpy(record + c.at, c.bytes, std::strlen(c.bytes) + (c.bytes[0] == '\0' ? 1 : 0));
        RecordFields fields{};
        EXPECT_EQ(RecordDecode(reinterpret_cast<const unsigned char*>(record), &fields), c.problem)
            << "at " << c.at << ": " << c.bytes;
        EXPECT_NE(std::string(RecordProblemText(c.problem)), RecordProblemText(RECORD_OK));
    }
}

TEST(Decimal, DigitsOnlyAndNeverPastTheBound) {
    const struct {
        const char* text;
        int64_t max;
        bool parsed;
        int64_t value;
    } cases[] = {
        {"0", 65535, true, 0},
        {"007", 65535, true, 7},
        {"65535", 65535, true, 65535},
        {"65536", 65535, false, 0},
        {"9", 5, false, 0},
        {"", 65535, false, 0},
        {"+1", 65535, false, 0},
        {" 1", 65535, false, 0},
        {"1 ", 65535, false, 0},
        {"-0", 65535, false, 0},
        {"9223372036854775807", INT64_MAX, true, INT64_MAX},
        {"9223372036854775808", INT64_MAX, false, 0},
        {"99999999999999999999999", INT64_MAX, false, 0},
    };
    for (const auto& c : cases) {
        int64_t value = -1;
        EXPECT_EQ(DecimalParse(c.text, std::strlen(c.text), c.max, &value), c.parsed) << c.text;
        if (c.parsed) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    // A text that fills its field is taken whole, and nothing past it is read.
    const char field[5] = {'1', '2', '3', '4', '5'};
    int64_t value = 0;
    EXPECT_TRUE(DecimalParseText(field, sizeof field, 99999, &value));
    EXPECT_EQ(value, 12345);
    const char terminated[4] = {'4', '2', '\0', '9'};
    EXPECT_TRUE(DecimalParseText(terminated, sizeof terminated, 99999, &value));
    EXPECT_EQ(value, 42);

    for (const int64_t number : {int64_t{0}, int64_t{9}, int64_t{10}, int64_t{65535}, INT64_MAX}) {
        char text[20];
        const std::string written(text, DecimalPut(text, number));
        EXPECT_EQ(written, std::to_string(number));
    }
}

} // namespace
