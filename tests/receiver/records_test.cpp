// Records and IP texts: fixed widths whatever the input, inside their buffers.
// Buffers are heap blocks of the exact size, so the sanitizers see any byte
// read or written past them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "records.h"
#include "support/records.h"

namespace {

std::string FormattedIP(const char* text, std::size_t length) {
    std::unique_ptr<char[]> field(new char[16]);
    std::memset(field.get(), 0, 16);
    std::memcpy(field.get(), text, length);
    FormatIPString(field.get());
    return std::string(field.get(), 16);
}

// Three digits per part whatever the text; malformed text stays inside the
// field, and sixteen characters without a terminator are read no further.
TEST(FormatIPString, GivesThreeDigitsPerPartInsideTheField) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"", "000.000.000.000"},           {"192.168.1.5", "192.168.001.005"},
        {"...", "000.000.000.000"},        {"-1.+2. 3.x", "255.002.003.000"},
        {"1.2", "001.002.000.000"},        {"1234.5.6.7", "210.005.006.007"},
        {"0.0.0.0", "000.000.000.000"},    {"255.255.255.255", "255.255.255.255"},
        {"a.b.c.d", "000.000.000.000"},    {"99999999999999", "255.000.000.000"},
        {"127.0.0.1", "127.000.000.001"},  {"9999999999999999", "255.000.000.000"},
        {"1.2.3.4.5", "001.002.003.004"},  {"1.1.1.11111111111", "001.001.001.199"},
        {"10.0.0.256", "010.000.000.000"},
    };
    for (const auto& c : cases) {
        const std::size_t length = std::min<std::size_t>(std::strlen(c.text), 16);
        EXPECT_EQ(FormattedIP(c.text, length), std::string(c.expected) + '\0') << c.text;
    }
}

ReceiverContext MakeContext(const char* localIP, int32_t port) {
    ReceiverContext context{};
    std::snprintf(context.localIP, sizeof context.localIP, "%s", localIP);
    context.port = port;
    return context;
}

// The record in an exact 552-byte block.
std::string Record(ReceiverContext* context, const char* message, int* result = nullptr) {
    std::unique_ptr<char[]> record(new char[PELMOR_RECORD_LENGTH + 1]);
    const int formatted = FormatRcvMsg(context, message, record.get(), PELMOR_RECORD_LENGTH);
    if (result != nullptr) {
        *result = formatted;
    }
    return record.get();
}

TEST(FormatRcvMsg, RecordHasItsColumns) {
    ReceiverContext context = MakeContext("192.168.001.005", 6664);
    PelmorRecordCounter = 0;
    const std::string before = SupportRecordStamp(std::time(nullptr));
    int result = 0;
    const std::string record = Record(&context, "ABC", &result);
    const std::string after = SupportRecordStamp(std::time(nullptr));

    EXPECT_EQ(result, 1);
    ASSERT_EQ(record.size(), 551u);
    const SupportRecord columns = SupportRecordColumns(record);
    EXPECT_EQ(columns.mark + columns.ip + columns.port, "$192.168.001.00506664");
    EXPECT_GE(columns.stamp, before);
    EXPECT_LE(columns.stamp, after);
    EXPECT_EQ(columns.counter, "001");
    EXPECT_EQ(columns.message, SupportPaddedMessage("ABC"));
    EXPECT_EQ(columns.lineEnd, "\n");

    context = MakeContext("10.0.0.1", 80);
    const std::string second = Record(&context, "");
    const SupportRecord secondColumns = SupportRecordColumns(second);
    EXPECT_EQ(secondColumns.mark + secondColumns.ip + secondColumns.port, "$10.0.0.1       00080");
    EXPECT_EQ(secondColumns.counter, "002");
    EXPECT_EQ(second.size(), 551u);
}

TEST(FormatRcvMsg, CounterRunsTo999ThenZeroThenOne) {
    ReceiverContext context = MakeContext("127.000.000.001", 6664);
    PelmorRecordCounter = 998;
    EXPECT_EQ(SupportRecordColumns(Record(&context, "a")).counter, "999");
    EXPECT_EQ(SupportRecordColumns(Record(&context, "b")).counter, "000");
    EXPECT_EQ(SupportRecordColumns(Record(&context, "c")).counter, "001");
    PelmorRecordCounter = 123456; // out of its range: steps to 0 all the same
    EXPECT_EQ(SupportRecordColumns(Record(&context, "d")).counter, "000");
}

TEST(FormatRcvMsg, RecordStays551CharactersWhateverTheContextHolds) {
    const struct {
        int32_t port;
        const char* column;
    } ports[] = {{-1, "67295"}, {99999, "99999"}, {0, "00000"}, {123456, "23456"}};
    for (const auto& p : ports) {
        ReceiverContext context = MakeContext("127.000.000.001", p.port);
        const std::string record = Record(&context, "m");
        EXPECT_EQ(record.size(), 551u) << p.port;
        EXPECT_EQ(SupportRecordColumns(record).port, p.column) << p.port;
    }

    // An address field filled to its last byte, without terminator.
    ReceiverContext full{};
    std::memcpy(full.localIP, "1234567890ABCDEF", sizeof full.localIP);
    full.port = 23456;
    const std::string longMessage(600, 'L');
    const std::string record = Record(&full, longMessage.c_str());
    ASSERT_EQ(record.size(), 551u);
    EXPECT_EQ(record.substr(1, 20), "1234567890ABCDE23456");
    EXPECT_EQ(SupportRecordColumns(record).message, std::string(512, 'L'));
    EXPECT_EQ(record.back(), '\n');
}

TEST(FormatRcvMsg, SmallerCapacityCutsTheRecordAndNegativeWritesNothing) {
    ReceiverContext context = MakeContext("127.000.000.001", 6664);
    char record[12];
    std::memset(record, '#', sizeof record);
    FormatRcvMsg(&context, "ABC", record, 10);
    EXPECT_EQ(std::string(record), "$127.000.0");
    EXPECT_EQ(record[11], '#');

    std::memset(record, '#', sizeof record);
    FormatRcvMsg(&context, "ABC", record, -1);
    EXPECT_EQ(record[0], '#');
}

} // namespace
