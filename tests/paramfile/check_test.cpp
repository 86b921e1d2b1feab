// The check pass: its rule table, the conversion of defaults, and the flags
// of ReadKeyIni around it.
#include "keyini_test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>

namespace {

int32_t Check(ParameterDescriptor* table, int32_t count, int32_t* position) {
    int32_t code = -99;
    int returned = ReadKeyIni(nullptr, KEYINI_CHECK, table, count, &code, position);
    EXPECT_EQ(returned, code == KEYINI_OK ? 1 : 0);
    return code;
}

// Checks a table of absent, optional entries that all take their defaults.
int32_t CheckWithDefaults(ParameterDescriptor* table, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        table[i].optional = table[i].onError = 1;
    }
    int32_t position = -99;
    return Check(table, count, &position);
}

struct RuleCase {
    int32_t found, optional, valid, onError;
    int32_t resultCode; // 0 when the entry passes
    int defaulted;
};

void PrintTo(const RuleCase& c, std::ostream* out) {
    *out << "F" << c.found << "O" << c.optional << "V" << c.valid << "E" << c.onError;
}

class CheckRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(CheckRuleTest, FirstMatchingRuleDecides) {
    const RuleCase& c = GetParam();
    ParameterDescriptor table[2] = {MakeEntry("G", "OK", TYPINT), MakeEntry("G", "K", TYPINT)};
    table[0].found = table[0].valid = 1;
    ParameterDescriptor& entry = table[1];
    entry.found = c.found;
    entry.optional = c.optional;
    entry.valid = c.valid;
    entry.onError = c.onError;
    entry.defaultValue = "7";
    entry.value.intValue = 99;
    int32_t position = -99;
    EXPECT_EQ(Check(table, 2, &position), c.resultCode);
    EXPECT_EQ(position, c.resultCode == KEYINI_OK ? -99 : 1);
    EXPECT_EQ(entry.value.intValue, c.defaulted ? 7 : 99);
    EXPECT_EQ(entry.found, c.found) << "the marks stay as they were";
    EXPECT_EQ(entry.valid, c.valid);
}

INSTANTIATE_TEST_SUITE_P(RuleTable, CheckRuleTest,
                         ::testing::Values(RuleCase{0, 0, 0, 0, KEYINI_E_NOT_FOUND, 0},
                                           RuleCase{0, 0, 1, 1, KEYINI_E_NOT_FOUND, 0},
                                           RuleCase{1, 0, 1, 0, KEYINI_OK, 0},
                                           RuleCase{1, 1, 1, 1, KEYINI_OK, 0},
                                           RuleCase{1, 0, 0, 1, KEYINI_OK, 1},
                                           RuleCase{1, 0, 0, 0, KEYINI_E_NOT_VALID, 0},
                                           RuleCase{0, 1, 0, 1, KEYINI_OK, 1},
                                           RuleCase{0, 1, 0, 0, KEYINI_E_NOT_VALID, 0},
                                           RuleCase{0, 1, 1, 1, KEYINI_OK, 1},
                                           RuleCase{0, 1, 1, 0, KEYINI_OK, 0}),
                         [](const ::testing::TestParamInfo<RuleCase>& info) {
                             return ::testing::PrintToString(info.param);
                         });

TEST(CheckPass, StopsAtTheFirstFailingEntryKeepingEarlierDefaults) {
    ParameterDescriptor table[4] = {MakeEntry("G", "A", TYPINT, 0, 1, "5"),
                                    MakeEntry("G", "B", TYPINT), MakeEntry("G", "C", TYPINT),
                                    MakeEntry("G", "D", TYPINT, 0, 1, "6")};
    table[0].optional = table[0].onError = 1;
    table[3].optional = table[3].onError = 1;
    int32_t position = -99;
    EXPECT_EQ(Check(table, 4, &position), KEYINI_E_NOT_FOUND);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(table[0].value.intValue, 5);
    EXPECT_EQ(table[3].value.intValue, 0);
}

TEST(CheckPass, WorksOnTheMarksLeftByAnEarlierReading) {
    ParameterDescriptor table[2] = {MakeEntry("G", "A", TYPINT, 0, 100, "1"),
                                    MakeEntry("G", "B", TYPINT, 0, 100, "2")};
    table[1].onError = 1;
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nA = 50\r\nB = 500\r\n", table, 2);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    int32_t position = -99;
    EXPECT_EQ(Check(table, 2, &position), KEYINI_OK);
    EXPECT_EQ(table[0].value.intValue, 50);
    EXPECT_EQ(table[1].value.intValue, 2);
}

TEST(CheckPass, AbsentOptionalDynamicEntryWithOnErrorPassesUntouched) {
    ParameterDescriptor entry = MakeEntry("D", "LIST", TYPDYN);
    entry.optional = entry.onError = 1;
    int32_t position = -99;
    EXPECT_EQ(Check(&entry, 1, &position), KEYINI_OK);
    EXPECT_EQ(entry.value.dynamicList, nullptr);
}

struct DefaultCase {
    int32_t type;
    const char* text;
    double number;
};

void PrintTo(const DefaultCase& c, std::ostream* out) {
    *out << c.type << " '" << c.text << "'";
}

// The case number and the letters and digits of the default text.
std::string DefaultCaseName(const ::testing::TestParamInfo<DefaultCase>& info) {
    std::string name = "Case" + std::to_string(info.index) + "_";
    for (const char* p = info.param.text; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) {
            name += *p;
        }
    }
    return name;
}

class DefaultNumberTest : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultNumberTest, ConvertsTheLeadingNumber) {
    const DefaultCase& c = GetParam();
    ParameterDescriptor entry = MakeEntry("G", "K", c.type, 0, 1, c.text);
    ASSERT_EQ(CheckWithDefaults(&entry, 1), KEYINI_OK);
    double stored = c.type == TYPDOUBLE
                        ? entry.value.doubleValue
                        : (c.type == TYPLONG ? entry.value.longValue : entry.value.intValue);
    EXPECT_EQ(stored, c.number) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Integers, DefaultNumberTest,
    ::testing::Values(DefaultCase{TYPINT, "3", 3}, DefaultCase{TYPINT, "5000", 5000},
                      DefaultCase{TYPINT, "12abc", 12}, DefaultCase{TYPINT, "abc", 0},
                      DefaultCase{TYPINT, " \t-42", -42}, DefaultCase{TYPINT, "+5", 5},
                      DefaultCase{TYPINT, "", 0}, DefaultCase{TYPINT, "- 5", 0},
                      DefaultCase{TYPINT, "-2147483648", INT32_MIN},
                      DefaultCase{TYPINT, "99999999999", INT32_MAX},
                      DefaultCase{TYPLONG, "-99999999999999999999999", INT32_MIN},
                      DefaultCase{TYPLONG, "2147483648", INT32_MAX}),
    DefaultCaseName);

INSTANTIATE_TEST_SUITE_P(
    Doubles, DefaultNumberTest,
    ::testing::Values(
        DefaultCase{TYPDOUBLE, "1d3", 1000.0}, DefaultCase{TYPDOUBLE, "0x10", 0.0},
        DefaultCase{TYPDOUBLE, " -2.5E2", -250.0}, DefaultCase{TYPDOUBLE, "1.5D-1", 0.15},
        DefaultCase{TYPDOUBLE, "+.5e+1", 5.0}, DefaultCase{TYPDOUBLE, "5.", 5.0},
        DefaultCase{TYPDOUBLE, "7e", 7.0}, DefaultCase{TYPDOUBLE, "0.1", 0.1},
        DefaultCase{TYPDOUBLE, "123.456", 123.456},
        DefaultCase{TYPDOUBLE, "3.14159265358979323846264338327950288",
                    3.14159265358979323846264338327950288},
        DefaultCase{TYPDOUBLE, "000.00012e4", 1.2}, DefaultCase{TYPDOUBLE, "abc", 0.0},
        DefaultCase{TYPDOUBLE, ".", 0.0}, DefaultCase{TYPDOUBLE, "inf", 0.0},
        DefaultCase{TYPDOUBLE, "nan", 0.0}, DefaultCase{TYPDOUBLE, "1e999", HUGE_VAL},
        DefaultCase{TYPDOUBLE, "-1e999", -HUGE_VAL}, DefaultCase{TYPDOUBLE, "1e-999", 0.0},
        DefaultCase{TYPDOUBLE, "1.5e99999999999999999999", HUGE_VAL}),
    DefaultCaseName);

TEST(DefaultNumber, LongDigitStringsKeepTheirMagnitude) {
    std::string big = "1" + std::string(300, '0');
    std::string tiny = "0." + std::string(900, '0') + "1e905";
    std::string precise = "2." + std::string(1000, '5');
    ParameterDescriptor table[3] = {MakeEntry("G", "A", TYPDOUBLE, 0, 1, big.c_str()),
                                    MakeEntry("G", "B", TYPDOUBLE, 0, 1, tiny.c_str()),
                                    MakeEntry("G", "C", TYPDOUBLE, 0, 1, precise.c_str())};
    ASSERT_EQ(CheckWithDefaults(table, 3), KEYINI_OK);
    EXPECT_EQ(table[0].value.doubleValue, 1e300);
    EXPECT_EQ(table[1].value.doubleValue, 1e4);
    EXPECT_EQ(table[2].value.doubleValue, 2.5555555555555555555);
}

TEST(DefaultText, BoolCharAndStringDefaults) {
    std::string longText(150, 's');
    ParameterDescriptor table[6] = {MakeEntry("G", "B1", TYPBOOL, 0, 1, "TRUE"),
                                    MakeEntry("G", "B2", TYPBOOL, 0, 1, "True"),
                                    MakeEntry("G", "C1", TYPCHAR, 0, 1, "xy"),
                                    MakeEntry("G", "C2", TYPCHAR, 0, 1, ""),
                                    MakeEntry("G", "S1", TYPSTRING, 1, 5, "a long default"),
                                    MakeEntry("G", "S2", TYPSTRING, 1, 5, longText.c_str())};
    table[1].value.intValue = 1;
    std::strcpy(table[3].value.textValue, "keep");
    ASSERT_EQ(CheckWithDefaults(table, 6), KEYINI_OK);
    EXPECT_EQ(table[0].value.intValue, 1);
    EXPECT_EQ(table[1].value.intValue, 0);
    EXPECT_EQ(table[2].value.charValue, 'x');
    EXPECT_EQ(std::string(table[3].value.textValue, 4), std::string("\0eep", 4));
    EXPECT_STREQ(table[4].value.textValue, "a long default") << "defaults ignore the bounds";
    EXPECT_EQ(std::string(table[5].value.textValue), std::string(100, 's'));
}

TEST(DefaultText, NullDefaultActsAsTheEmptyText) {
    ParameterDescriptor table[3] = {MakeEntry("G", "S", TYPSTRING, 0, 1, nullptr),
                                    MakeEntry("G", "I", TYPINT, 0, 1, nullptr),
                                    MakeEntry("G", "D", TYPDOUBLE, 0, 1, nullptr)};
    std::strcpy(table[0].value.textValue, "old");
    table[1].value.intValue = 5;
    table[2].value.doubleValue = 5.0;
    ASSERT_EQ(CheckWithDefaults(table, 3), KEYINI_OK);
    EXPECT_STREQ(table[0].value.textValue, "");
    EXPECT_EQ(table[1].value.intValue, 0);
    EXPECT_EQ(table[2].value.doubleValue, 0.0);
}

TEST(Flags, NoneOfTheFourFlagsIsRefused) {
    ParameterDescriptor entry = MakeEntry("G", "K", TYPINT);
    for (uint32_t flags : {0u, 16u, 0xFFFFFFF0u}) {
        int32_t code = -99;
        int32_t position = -99;
        EXPECT_EQ(ReadKeyIni("/nonexistent", flags, &entry, 1, &code, &position), 0);
        EXPECT_EQ(code, KEYINI_E_NO_FLAGS);
        EXPECT_EQ(position, -99);
    }
}

TEST(Flags, ListOrFreeAloneLeavesTheResultCodeUnwritten) {
    ParameterDescriptor entry = MakeEntry("D", "LIST", TYPDYN);
    int32_t code = -99;
    EXPECT_EQ(ReadKeyIni(nullptr, KEYINI_FREE, &entry, 1, &code, nullptr), 1);
    EXPECT_EQ(code, -99);
}

TEST(Flags, ReadWithoutPathIsRefusedWhateverElseIsAsked) {
    ParameterDescriptor entry = MakeEntry("G", "K", TYPINT);
    entry.optional = entry.onError = 1;
    int32_t code = -99;
    EXPECT_EQ(ReadKeyIni(nullptr, KEYINI_READ | KEYINI_CHECK, &entry, 1, &code, nullptr), 0);
    EXPECT_EQ(code, KEYINI_E_NO_PATH);
    EXPECT_EQ(ReadKeyIni(nullptr, KEYINI_CHECK, &entry, 1, &code, nullptr), 1);
    EXPECT_EQ(code, KEYINI_OK);
}

TEST(Flags, FileThatCannotBeOpenedForReading) {
    ParameterDescriptor entry = MakeEntry("G", "K", TYPINT);
    std::string folder = WriteTestFile("");
    folder.resize(folder.rfind('/'));
    for (std::string path : {folder + "/missing.ini", folder}) {
        int32_t code = -99;
        int32_t position = -99;
        EXPECT_EQ(ReadKeyIni(path.c_str(), KEYINI_READ, &entry, 1, &code, &position), 0);
        EXPECT_EQ(code, KEYINI_E_OPEN) << path;
        EXPECT_EQ(position, -99);
    }
}

TEST(Flags, FailedReadSkipsCheckAndFree) {
    ParameterDescriptor table[2] = {MakeEntry("D", "LIST", TYPDYN), MakeEntry("G", "K", TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[D] DYNAMIC\r\nk = v\r\n", table, 2);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    ASSERT_NE(table[0].value.dynamicList, nullptr);
    outcome = ReadBytes("keyini\r\n", table, 2, KEYINI_READ | KEYINI_CHECK | KEYINI_FREE);
    EXPECT_EQ(outcome.resultCode, KEYINI_E_NO_HEADER);
    EXPECT_NE(table[0].value.dynamicList, nullptr) << "FREE must not run after a failed READ";
    int32_t code = -99;
    EXPECT_EQ(ReadKeyIni(nullptr, KEYINI_CHECK | KEYINI_FREE, table, 2, &code, nullptr), 0);
    EXPECT_EQ(code, KEYINI_E_NOT_FOUND);
    EXPECT_NE(table[0].value.dynamicList, nullptr) << "FREE must not run after a failed CHECK";
    ReadKeyIni(nullptr, KEYINI_FREE, table, 2, &code, nullptr);
}

} // namespace
