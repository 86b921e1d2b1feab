// Tokens, comments, line counting and look-ahead of the scanner, driven
// directly over real files.
#include "keyini_test_support.h"
#include "keyini_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class ScannerTest : public ::testing::Test {
  protected:
    // Opens a file of these bytes in place of the one open before.
    void Open(const std::string& bytes) {
        if (file != HFILE_ERROR) {
            _lclose(file);
        }
        std::string path = WriteTestFile(bytes);
        file = _lopen(path.c_str(), OF_READ);
        ASSERT_NE(file, HFILE_ERROR);
        ResetScanner(file);
    }
    void TearDown() override {
        if (file != HFILE_ERROR) {
            _lclose(file);
        }
    }
    // Every token up to the first non-zero result, which ends the list as "#<code>".
    std::vector<std::string> AllTokens() {
        std::vector<std::string> tokens;
        for (;;) {
            int32_t result = NextToken();
            if (result != KEYINI_OK) {
                tokens.push_back("#" + std::to_string(result));
                return tokens;
            }
            tokens.push_back(keyIniScan.tokenBuffer);
        }
    }
    HFILE file = HFILE_ERROR;
};

using Tokens = std::vector<std::string>;

TEST_F(ScannerTest, KeyLineGivesTheSameThreeTokensWithOrWithoutBlanks) {
    for (const char* line : {"KEY=VALUE\r\n", "KEY = VALUE\r\n", "KEY= VALUE\r\n"}) {
        Open(line);
        EXPECT_EQ(AllTokens(), (Tokens{"KEY", "=", "VALUE", "#-11"})) << line;
    }
}

TEST_F(ScannerTest, SymbolsAreTokensOfTheirOwnAndNeedNoByteAfterThem) {
    Open("[GROUP]\r\na=b [");
    EXPECT_EQ(AllTokens(), (Tokens{"[", "GROUP", "]", "a", "=", "b", "[", "#-11"}));
}

TEST_F(ScannerTest, AllSixWhiteSpaceBytesSeparateTokens) {
    Open("a\vb\fc\td\re\nf g\n");
    EXPECT_EQ(AllTokens(), (Tokens{"a", "b", "c", "d", "e", "f", "g", "#-11"}));
    EXPECT_EQ(keyIniScan.lineNumber, 3);
}

TEST_F(ScannerTest, TokenAtTheVeryEndOfTheFileNeedsADelimiter) {
    Open("KEY = VALUE");
    EXPECT_EQ(AllTokens(), (Tokens{"KEY", "=", "#-11"}));
}

TEST_F(ScannerTest, HundredCharactersAreATokenAndOneMoreIsTooLong) {
    std::string hundred(100, 'h');
    Open(hundred + " " + hundred + "x \r\n");
    ASSERT_EQ(NextToken(), KEYINI_OK);
    EXPECT_EQ(std::string(keyIniScan.tokenBuffer), hundred);
    EXPECT_EQ(NextToken(), KEYINI_E_TOKEN_LONG);
}

TEST_F(ScannerTest, TooLongTokenEndingTheFileIsEndOfFile) {
    Open(std::string(101, 'h'));
    EXPECT_EQ(NextToken(), KEYINI_E_EOF);
}

TEST_F(ScannerTest, LineFeedAfterTooLongTokenIsStillCounted) {
    Open(std::string(101, 'h') + "\nnext ");
    EXPECT_EQ(NextToken(), KEYINI_E_TOKEN_LONG);
    EXPECT_EQ(keyIniScan.lineNumber, 2);
    EXPECT_EQ(keyIniScan.filePosition, 102);
}

TEST_F(ScannerTest, SymbolAfterTooLongTokenIsGivenBack) {
    Open(std::string(101, 'h') + "[G] ");
    EXPECT_EQ(AllTokens(), (Tokens{"#-12"}));
    EXPECT_EQ(keyIniScan.filePosition, 101);
    EXPECT_EQ(AllTokens(), (Tokens{"[", "G", "]", "#-11"}));
}

TEST_F(ScannerTest, ZeroByteCountsTowardTheLengthButEndsTheText) {
    Open(Bytes("KEY\0X = 1\r\n") + std::string(50, 'a') + std::string(1, '\0') +
         std::string(50, 'b') + " ");
    EXPECT_EQ(AllTokens(), (Tokens{"KEY", "=", "1", "#-12"}));
}

// Comments: the line the scanner ends on and the tokens they leave.
TEST_F(ScannerTest, CommentsAreSkippedWithTheirLines) {
    const struct {
        int32_t lines;
        const char* text;
        Tokens tokens;
    } cases[] = {
        // A block comment ends at the first */ whatever stars precede it, not
        // at the rest of its opening token; unclosed it is the end of the file.
        {2,
         "/* a **/ KEY /* b ***/ NEXT /*/ still comment */ LAST\r\n",
         {"KEY", "NEXT", "LAST", "#-11"}},
        {4, "/*note*/\r\nA = 1\r\n*/ AFTER\r\n", {"AFTER", "#-11"}},
        {3, "/*note*/\r\nA = 1\r\n", {"#-11"}},
        {4, "/* one\r\n two\r\n three */\r\n  BAD", {"#-11"}},
        // A line comment ends at CR LF only, so without one it is the end of
        // the file; it may be opened right before a symbol.
        {5, "//note\r\nA // note\r\nB //\r\nC\r\n", {"A", "B", "C", "#-11"}},
        {5, "//note\nA\nB\r\nC\n", {"C", "#-11"}},
        {3, "KEY //note\nA = 1\n", {"KEY", "#-11"}},
        {3, "//x=\r\nA\r\n", {"A", "#-11"}},
        // Both are recognised only at the start of a token.
        {2, "a//b c/*d */x\r\n", {"a//b", "c/*d", "*/x", "#-11"}},
    };
    for (const auto& c : cases) {
        Open(c.text);
        EXPECT_EQ(AllTokens(), c.tokens) << c.text;
        EXPECT_EQ(keyIniScan.lineNumber, c.lines) << c.text;
    }
}

TEST_F(ScannerTest, RewindReadsTheSameBytesAgainAndRestoresTheLine) {
    Open("A\r\n/* two\r\nlines */ B\r\n");
    ASSERT_EQ(NextToken(), KEYINI_OK);
    ScanMark mark = SaveScanMark();
    ASSERT_EQ(NextToken(), KEYINI_OK);
    EXPECT_STREQ(keyIniScan.tokenBuffer, "B");
    EXPECT_EQ(keyIniScan.lineNumber, 3);
    RewindToScanMark(mark);
    EXPECT_EQ(keyIniScan.lineNumber, 1);
    EXPECT_EQ(keyIniScan.filePosition, mark.filePosition);
    EXPECT_EQ(AllTokens(), (Tokens{"B", "#-11"}));
    EXPECT_EQ(keyIniScan.lineNumber, 4);
}

TEST_F(ScannerTest, RewindAfterEndOfFileMeetsTheEndAtTheSamePlaceAgain) {
    Open("A\r\n\r\n");
    ASSERT_EQ(NextToken(), KEYINI_OK);
    ScanMark mark = SaveScanMark();
    ASSERT_EQ(NextToken(), KEYINI_E_EOF);
    int32_t endPosition = keyIniScan.filePosition;
    int32_t endLine = keyIniScan.lineNumber;
    EXPECT_EQ(endPosition, 5);
    RewindToScanMark(mark);
    EXPECT_EQ(keyIniScan.filePosition, 2);
    ASSERT_EQ(NextToken(), KEYINI_E_EOF);
    EXPECT_EQ(keyIniScan.filePosition, endPosition);
    EXPECT_EQ(keyIniScan.lineNumber, endLine);
}

} // namespace
