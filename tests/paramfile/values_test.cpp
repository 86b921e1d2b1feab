// Value storage per type and bounds: what a key line leaves in found,
// valid, content and value.
#include "keyini_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct ValueCase {
    const char* name;
    int32_t type;
    double min;
    double max;
    std::string text;
    int valid;
    double number; // the stored number, for the numeric types and TYPBOOL
};

void PrintTo(const ValueCase& c, std::ostream* out) {
    *out << c.name;
}

class ValueTest : public ::testing::TestWithParam<ValueCase> {};

double StoredNumber(const ParameterDescriptor& entry) {
    switch (entry.type) {
    case TYPDOUBLE:
        return entry.value.doubleValue;
    case TYPLONG:
        return entry.value.longValue;
    default:
        return entry.value.intValue;
    }
}

TEST_P(ValueTest, FoundContentAndValidity) {
    const ValueCase& c = GetParam();
    ParameterDescriptor entry = MakeEntry("G", "K", c.type, c.min, c.max);
    entry.value.intValue = -77;
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nK = " + c.text + "\r\n", &entry, 1);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(entry.found, 1);
    EXPECT_EQ(std::string(entry.content), c.text);
    EXPECT_EQ(entry.valid, c.valid);
    if (c.valid) {
        EXPECT_EQ(StoredNumber(entry), c.number);
    } else {
        EXPECT_EQ(entry.value.intValue, -77) << "a refused value must not be stored";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, ValueTest,
    ::testing::Values(ValueCase{"IntDigits", TYPINT, 0, 1000, "1000", 1, 1000},
                      ValueCase{"IntLeadingZeros", TYPINT, 0, 1000, "0007", 1, 7},
                      ValueCase{"IntBelowMin", TYPINT, 1, 1000, "0", 0, 0},
                      ValueCase{"IntAboveMax", TYPINT, 0, 1000, "1001", 0, 0},
                      ValueCase{"IntTrailingLetter", TYPINT, 0, 1000, "12a", 0, 0},
                      ValueCase{"IntMinusSign", TYPINT, -10, 10, "-3", 0, 0},
                      ValueCase{"IntPlusSign", TYPINT, -10, 10, "+3", 0, 0},
                      ValueCase{"IntLargest", TYPINT, 0, 1e12, "2147483647", 1, 2147483647.0},
                      ValueCase{"IntBeyond32Bits", TYPINT, 0, 1e12, "2147483648", 0, 0},
                      ValueCase{"IntFarBeyond32Bits", TYPINT, 0, 1e30, "4294967297", 0, 0},
                      ValueCase{"LongDigits", TYPLONG, 0, 1e12, "123456789", 1, 123456789},
                      ValueCase{"LongBeyond32Bits", TYPLONG, 0, 1e30, "99999999999999999999", 0, 0},
                      ValueCase{"DoubleTwoPoints", TYPDOUBLE, 0, 10, "1.2.3", 1, 1.2},
                      ValueCase{"DoubleTrailingPoint", TYPDOUBLE, 0, 10, "5.", 1, 5},
                      ValueCase{"DoubleOnlyPoint", TYPDOUBLE, 0, 10, ".", 1, 0},
                      ValueCase{"DoubleLeadingPoint", TYPDOUBLE, 0, 10, ".25", 1, 0.25},
                      ValueCase{"DoubleExponent", TYPDOUBLE, 0, 1e9, "1e3", 0, 0},
                      ValueCase{"DoubleSign", TYPDOUBLE, -10, 10, "-1.5", 0, 0},
                      ValueCase{"DoubleAboveMax", TYPDOUBLE, 0, 10, "10.5", 0, 0},
                      ValueCase{"BoolTrue", TYPBOOL, 0, 0, "TRUE", 1, 1},
                      ValueCase{"BoolFalse", TYPBOOL, 0, 0, "FALSE", 1, 0},
                      ValueCase{"BoolLowerCase", TYPBOOL, 0, 0, "true", 0, 0},
                      ValueCase{"UnassignedType", -7, 0, 10, "5", 0, 0},
                      ValueCase{"UnknownType", 3, 0, 10, "5", 0, 0},
                      ValueCase{"DynamicTypeInNormalSection", TYPDYN, 0, 10, "5", 0, 0}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

TEST(StringValue, LengthMustLieWithinTheBounds) {
    ParameterDescriptor table[2] = {MakeEntry("G", "PORT", TYPSTRING, 1, 5),
                                    MakeEntry("G", "LONGER", TYPSTRING, 1, 5)};
    ReadOutcome outcome =
        ReadBytes("KEYINI\r\n[G]\r\nPORT = 6664\r\nLONGER = 666400\r\n", table, 2);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].valid, 1);
    EXPECT_STREQ(table[0].value.textValue, "6664");
    EXPECT_EQ(table[1].found, 1);
    EXPECT_EQ(table[1].valid, 0);
    EXPECT_STREQ(table[1].value.textValue, "");
}

TEST(StringValue, HundredCharactersFillContentAndValueWithTheirTerminator) {
    std::string text(100, 'v');
    ParameterDescriptor entry = MakeEntry("G", "K", TYPSTRING, 0, 100);
    std::memset(entry.content, 'z', sizeof entry.content);
    std::memset(entry.value.textValue, 'z', sizeof entry.value.textValue);
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nK=" + text + "\r\n", &entry, 1);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(std::string(entry.content, sizeof entry.content), text + '\0');
    EXPECT_EQ(std::string(entry.value.textValue, sizeof entry.value.textValue), text + '\0');
    EXPECT_EQ(entry.comment, std::string("")) << "the field after value is untouched";
}

TEST(CharValue, ExactlyOneCharacterAndTheRestOfValueUntouched) {
    ParameterDescriptor table[2] = {MakeEntry("G", "ONE", TYPCHAR), MakeEntry("G", "TWO", TYPCHAR)};
    std::strcpy(table[0].value.textValue, "abc");
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nONE = x\r\nTWO = xy\r\n", table, 2);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].valid, 1);
    EXPECT_STREQ(table[0].value.textValue, "xbc");
    EXPECT_EQ(table[1].found, 1);
    EXPECT_EQ(table[1].valid, 0);
}

TEST(RepeatedKey, LaterTextInContentWhileTheValidValueStays) {
    ParameterDescriptor entry = MakeEntry("G", "K", TYPINT, 0, 100);
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nK = 10\r\nK = x\r\n", &entry, 1);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_STREQ(entry.content, "x");
    EXPECT_EQ(entry.value.intValue, 10);
    EXPECT_EQ(entry.valid, 1);
}

TEST(RepeatedKey, FirstMatchingEntryOfTheTableWins) {
    ParameterDescriptor table[2] = {MakeEntry("G", "K", TYPINT), MakeEntry("G", "K", TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nK = 3\r\n", table, 2);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].found, 1);
    EXPECT_EQ(table[1].found, 0);
}

TEST(ZeroByte, TokenWithAZeroByteActsAsItsLeadingText) {
    ParameterDescriptor entry = MakeEntry("G", "KEY", TYPINT, 0, 100);
    ReadOutcome outcome = ReadBytes(Bytes("KEYINI\r\n[G]\r\nKEY\0X = 4\0Z\r\n"), &entry, 1);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_STREQ(entry.content, "4");
    EXPECT_EQ(entry.value.intValue, 4);
}

TEST(ZeroByte, EmptyNumberTextIsNotValid) {
    ParameterDescriptor table[2] = {MakeEntry("G", "I", TYPINT), MakeEntry("G", "D", TYPDOUBLE)};
    ReadOutcome outcome = ReadBytes(Bytes("KEYINI\r\n[G]\r\nI = \0\r\nD = \0\r\n"), table, 2);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].found + table[1].found, 2);
    EXPECT_EQ(table[0].valid + table[1].valid, 0);
}

} // namespace
