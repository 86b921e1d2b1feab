// The file grammar through ReadKeyIni: every result code with its line, and
// skipped sections.
#include "keyini_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct GrammarCase {
    const char* name;
    std::string bytes;
    int32_t resultCode;
    int32_t position;
};

void PrintTo(const GrammarCase& c, std::ostream* out) {
    *out << c.name;
}

// Group G knows A and B; group T's first entry is TYPINT, then a TYPDYN one;
// group D is a dynamic group.
class GrammarTest : public ::testing::TestWithParam<GrammarCase> {
  protected:
    ParameterDescriptor table[5] = {
        MakeEntry("G", "A", TYPINT), MakeEntry("G", "B", TYPSTRING, 0, 100),
        MakeEntry("T", "N", TYPINT), MakeEntry("T", "L", TYPDYN), MakeEntry("D", "LIST", TYPDYN)};
    void TearDown() override {
        int32_t code;
        ReadKeyIni(nullptr, KEYINI_FREE, table, 5, &code, nullptr);
    }
};

TEST_P(GrammarTest, ResultCodeAndLine) {
    const GrammarCase& c = GetParam();
    ReadOutcome outcome = ReadBytes(c.bytes, table, 5);
    EXPECT_EQ(outcome.resultCode, c.resultCode);
    EXPECT_EQ(outcome.returned, c.resultCode == KEYINI_OK ? 1 : 0);
    EXPECT_EQ(outcome.position, c.resultCode == KEYINI_OK ? -99 : c.position);
}

const std::string header = "KEYINI\r\n";
const std::string longToken(101, 'x');

INSTANTIATE_TEST_SUITE_P(
    Codes, GrammarTest,
    ::testing::Values(
        GrammarCase{"EmptyFile", "", KEYINI_E_EOF, 1},
        GrammarCase{"OnlyComments", "/* c\r\n */\r\n// d\r\n", KEYINI_E_EOF, 4},
        GrammarCase{"LowerCaseHeader", "keyini\r\n[G]\r\nA = 1\r\n", KEYINI_E_NO_HEADER, 1},
        GrammarCase{"HeaderAfterComment", "// x\r\n" + header + "[G]\r\nA = 1\r\n", KEYINI_OK, 0},
        GrammarCase{"HeaderOnly", header, KEYINI_E_EOF, 2},
        GrammarCase{"NoOpeningBracket", header + "G]\r\nA = 1\r\n", KEYINI_E_NO_OPEN, 2},
        GrammarCase{"NoClosingBracket", header + "[G\r\nA = 1\r\n", KEYINI_E_NO_CLOSE, 3},
        GrammarCase{"FileEndsAfterGroupName", header + "[G", KEYINI_E_EOF, 2},
        GrammarCase{"FileEndsAfterBracket", header + "[G]", KEYINI_E_EOF, 2},
        GrammarCase{"FileEndsAfterBracketLine", header + "[G]\r\n", KEYINI_E_EOF, 2},
        GrammarCase{"UnknownKey", header + "[G]\r\nX = 1\r\n", KEYINI_E_UNKNOWN_KEY, 3},
        GrammarCase{"KeyOfAnotherGroup", header + "[G]\r\nN = 1\r\n", KEYINI_E_UNKNOWN_KEY, 3},
        GrammarCase{"KeyCaseMatters", header + "[G]\r\na = 1\r\n", KEYINI_E_UNKNOWN_KEY, 3},
        GrammarCase{"SectionWithoutKeyLine", header + "[G]\r\n[G]\r\nA = 1\r\n",
                    KEYINI_E_UNKNOWN_KEY, 3},
        GrammarCase{"StrayBracketAsKey", header + "[G]\r\nA = 1\r\n] = 2\r\n", KEYINI_E_UNKNOWN_KEY,
                    4},
        GrammarCase{"NoEquals", header + "[G]\r\nA 1\r\n", KEYINI_E_NO_EQUALS, 3},
        GrammarCase{"ValueEndsTheFile", header + "[G]\r\nA = 1", KEYINI_E_EOF, 3},
        GrammarCase{"FileEndsAfterEquals", header + "[G]\r\nA =\r\n", KEYINI_E_EOF, 4},
        GrammarCase{"LongTokenAfterBracket", header + "[G]\r\n" + longToken + "\r\nA = 1\r\n",
                    KEYINI_E_TOKEN_LONG, 2},
        GrammarCase{"LongValue", header + "[G]\r\nA = 1\r\nB = " + longToken + "\r\n",
                    KEYINI_E_TOKEN_LONG, 4},
        GrammarCase{"LongGroupName", header + "[" + longToken + "]\r\n", KEYINI_E_TOKEN_LONG, 2},
        GrammarCase{"LineFeedOnlyLines", "KEYINI\n[G]\nA = 1\nB 2\n", KEYINI_E_NO_EQUALS, 5},
        GrammarCase{"DynamicNotFirstEntry", header + "[T]\r\nDYNAMIC\r\nK = v\r\n",
                    KEYINI_E_NOT_DYN, 4},
        GrammarCase{"DynamicBracketAsKey", header + "[D]\r\nDYNAMIC\r\n[E]\r\n", KEYINI_E_NO_EQUALS,
                    4},
        GrammarCase{"DynamicEmptyKey", header + "[D] DYNAMIC\r\n" + Bytes("\0k = v\r\n"),
                    KEYINI_E_UNKNOWN_KEY, 3},
        GrammarCase{"SkippedSectionHoldsAnything",
                    header + "[X]\r\nDYNAMIC\r\n] = =\r\n" + longToken +
                        " k = v /* c */\r\n[G]\r\nA = 1\r\n",
                    KEYINI_OK, 0},
        GrammarCase{"SkippedSectionEndsTheFileAnywhere", header + "[X]\r\nk = v", KEYINI_OK, 0},
        GrammarCase{"SkippedSectionAfterItsName", header + "[X ", KEYINI_OK, 0},
        GrammarCase{"SkippedGroupNameEndsTheFile", header + "[X", KEYINI_E_EOF, 2},
        GrammarCase{"GroupCaseMatters", header + "[g]\r\nX = 1\r\n", KEYINI_OK, 0},
        GrammarCase{"TwoSectionsOfOneGroup", header + "[G]\r\nA = 1\r\n[G]\r\nB = 2\r\n", KEYINI_OK,
                    0}),
    [](const ::testing::TestParamInfo<GrammarCase>& info) { return info.param.name; });

TEST(GrammarValues, SecondSectionOfAGroupOverridesTheFirst) {
    ParameterDescriptor table[2] = {MakeEntry("G", "A", TYPINT), MakeEntry("G", "B", TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nA = 1\r\nB = 2\r\n[X]\r\nA = 9\r\n"
                                    "[G]\r\nA = 3\r\n",
                                    table, 2);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_STREQ(table[0].content, "3");
    EXPECT_EQ(table[0].value.intValue, 3);
    EXPECT_EQ(table[1].value.intValue, 2);
}

TEST(GrammarValues, ValueBracketInSkippedSectionStartsTheNextSection) {
    ParameterDescriptor table[1] = {MakeEntry("G", "A", TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[X]\r\nk = [G]\r\nA = 4\r\n", table, 1);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].value.intValue, 4);
}

TEST(GrammarValues, TooLongTokenRightBeforeBracketInSkippedSectionKeepsTheNextSection) {
    ParameterDescriptor table[1] = {MakeEntry("G", "A", TYPINT)};
    ReadOutcome outcome =
        ReadBytes("KEYINI\r\n[X]\r\nk = " + std::string(101, 'v') + "[G]\r\nA = 4\r\n", table, 1);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].found, 1);
    EXPECT_EQ(table[0].value.intValue, 4);
}

TEST(GrammarValues, EmptyTableSkipsEverySectionAndStoresNothing) {
    ParameterDescriptor untouched = MakeEntry("G", "A", TYPINT);
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nA = 1\r\n", &untouched, 0);
    EXPECT_EQ(outcome.returned, 1);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(untouched.found, 0);
}

TEST(GrammarValues, ValuesStoredBeforeAnErrorStay) {
    ParameterDescriptor table[2] = {MakeEntry("G", "A", TYPINT), MakeEntry("G", "B", TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nA = 5\r\nC = 1\r\nB = 2\r\n", table, 2);
    EXPECT_EQ(outcome.resultCode, KEYINI_E_UNKNOWN_KEY);
    EXPECT_EQ(outcome.position, 4);
    EXPECT_EQ(table[0].value.intValue, 5);
    EXPECT_EQ(table[1].found, 0);
}

TEST(GrammarValues, NullNamesInTheTableNeverMatch) {
    ParameterDescriptor table[3] = {MakeEntry(nullptr, "A", TYPINT),
                                    MakeEntry("G", nullptr, TYPINT), MakeEntry("G", "A", TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nA = 5\r\n", table, 3);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].found + table[1].found, 0);
    EXPECT_EQ(table[2].value.intValue, 5);
}

TEST(GrammarValues, HundredCharacterKeyIsLookedUpWhole) {
    std::string key(100, 'k');
    std::string shorter(99, 'k');
    ParameterDescriptor table[2] = {MakeEntry("G", shorter.c_str(), TYPINT),
                                    MakeEntry("G", key.c_str(), TYPINT)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\n" + key + "=7\r\n", table, 2);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[0].found, 0);
    EXPECT_EQ(table[1].value.intValue, 7);
}

} // namespace
