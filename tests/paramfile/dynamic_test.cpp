// DYNAMIC sections: the list of pairs, its end mark, replacing and freeing.
#include "keyini_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of a list up to its end mark; a field without terminator is
// taken whole.
Pairs ListPairs(const DynamicEntry* list) {
    Pairs pairs;
    for (; list != nullptr && list->keyText[0] != '\0'; ++list) {
        pairs.emplace_back(std::string(list->keyText, strnlen(list->keyText, 100)),
                           std::string(list->valueText, strnlen(list->valueText, 100)));
    }
    return pairs;
}

class DynamicTest : public ::testing::Test {
  protected:
    void TearDown() override {
        int32_t code;
        ReadKeyIni(nullptr, KEYINI_FREE, table, 3, &code, nullptr);
    }
    ParameterDescriptor table[3] = {MakeEntry("G", "A", TYPINT), MakeEntry("D", "LIST", TYPDYN),
                                    MakeEntry("E", "LIST", TYPDYN)};
};

TEST_F(DynamicTest, SectionFillsOneListWithAnEndMark) {
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[D]\r\nDYNAMIC\r\nk1 = v1\r\nk2=v2\r\n] = w\r\n"
                                    "[G]\r\nA = 1\r\n",
                                    table, 3);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[1].found, 1);
    EXPECT_EQ(table[1].valid, 1);
    EXPECT_STREQ(table[1].content, "") << "pairs do not touch content";
    EXPECT_EQ(ListPairs(table[1].value.dynamicList),
              (Pairs{{"k1", "v1"}, {"k2", "v2"}, {"]", "w"}}));
    const DynamicEntry& end = table[1].value.dynamicList[3];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&end), sizeof end),
              std::string(sizeof end, '\0'));
    EXPECT_EQ(table[2].value.dynamicList, nullptr);
}

TEST_F(DynamicTest, FieldsAreZeroFilledAndHundredCharactersFillThemWhole) {
    std::string key(100, 'k');
    std::string value(100, 'v');
    ReadOutcome outcome =
        ReadBytes("KEYINI\r\n[D] DYNAMIC\r\n" + key + "=" + value + "\r\nx = y\r\n", table, 3);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    const DynamicEntry* list = table[1].value.dynamicList;
    EXPECT_EQ(std::string(list[0].keyText, 100), key);
    EXPECT_EQ(std::string(list[0].valueText, 100), value);
    EXPECT_EQ(std::string(list[1].keyText, 100), "x" + std::string(99, '\0'));
    EXPECT_EQ(std::string(list[1].valueText, 100), "y" + std::string(99, '\0'));
}

TEST_F(DynamicTest, LongSectionKeepsEveryPairInOrder) {
    std::string text = "KEYINI\r\n[D] DYNAMIC\r\n";
    Pairs expected;
    for (int i = 0; i < 300; ++i) {
        expected.emplace_back("k" + std::to_string(i), "v" + std::to_string(i * 7));
        text += expected.back().first + " = " + expected.back().second + "\r\n";
    }
    ASSERT_EQ(ReadBytes(text, table, 3).resultCode, KEYINI_OK);
    EXPECT_EQ(ListPairs(table[1].value.dynamicList), expected);
}

TEST_F(DynamicTest, LaterSectionOfTheGroupReplacesTheList) {
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[D] DYNAMIC\r\na = 1\r\nb = 2\r\nc = 3\r\n"
                                    "[E] DYNAMIC\r\ne = 5\r\n[D] DYNAMIC\r\nd = 4\r\n",
                                    table, 3);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(ListPairs(table[1].value.dynamicList), (Pairs{{"d", "4"}}));
    EXPECT_EQ(ListPairs(table[2].value.dynamicList), (Pairs{{"e", "5"}}));
}

TEST_F(DynamicTest, SecondReadingReplacesTheListOfTheFirst) {
    ASSERT_EQ(ReadBytes("KEYINI\r\n[D] DYNAMIC\r\na = 1\r\n", table, 3).resultCode, KEYINI_OK);
    ASSERT_EQ(ReadBytes("KEYINI\r\n[D] DYNAMIC\r\nb = 2\r\n", table, 3).resultCode, KEYINI_OK);
    EXPECT_EQ(ListPairs(table[1].value.dynamicList), (Pairs{{"b", "2"}}));
}

TEST_F(DynamicTest, SameGroupWithoutDynamicKeywordIsANormalSection) {
    ReadOutcome outcome =
        ReadBytes("KEYINI\r\n[D] DYNAMIC\r\na = 1\r\n[D]\r\nLIST = x\r\n", table, 3);
    ASSERT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_STREQ(table[1].content, "x");
    EXPECT_EQ(ListPairs(table[1].value.dynamicList), (Pairs{{"a", "1"}}));
}

TEST_F(DynamicTest, FreeReleasesAndNullsSoASecondFreeIsHarmless) {
    ASSERT_EQ(ReadBytes("KEYINI\r\n[D] DYNAMIC\r\na = 1\r\n[E] DYNAMIC\r\nb = 2\r\n", table, 3)
                  .resultCode,
              KEYINI_OK);
    int32_t code = -99;
    EXPECT_EQ(ReadKeyIni(nullptr, KEYINI_FREE, table, 3, &code, nullptr), 1);
    EXPECT_EQ(table[1].value.dynamicList, nullptr);
    EXPECT_EQ(table[2].value.dynamicList, nullptr);
    EXPECT_EQ(ReadKeyIni(nullptr, KEYINI_FREE, table, 3, &code, nullptr), 1);
}

TEST_F(DynamicTest, ReadAndFreeInOneCall) {
    ReadOutcome outcome =
        ReadBytes("KEYINI\r\n[D] DYNAMIC\r\na = 1\r\n", table, 3, KEYINI_READ | KEYINI_FREE);
    EXPECT_EQ(outcome.resultCode, KEYINI_OK);
    EXPECT_EQ(table[1].found, 1);
    EXPECT_EQ(table[1].value.dynamicList, nullptr);
}

TEST_F(DynamicTest, FirstEntryOfTheGroupMustBeDynamic) {
    ParameterDescriptor mixed[2] = {MakeEntry("M", "N", TYPINT), MakeEntry("M", "L", TYPDYN)};
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[M]\r\nDYNAMIC\r\nk = v\r\n", mixed, 2);
    EXPECT_EQ(outcome.resultCode, KEYINI_E_NOT_DYN);
    EXPECT_EQ(outcome.position, 4);
    EXPECT_EQ(mixed[1].found, 0);
    EXPECT_EQ(mixed[1].value.dynamicList, nullptr);
}

} // namespace
