// The log file: opening, the line format, the level filter, the size cap
// with its NAME.old generation.
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "support/files.h"

namespace {

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = SupportMakeFolder();
        ASSERT_FALSE(directory.empty());
        name = directory + "/PELMOR.LOG";
    }
    void TearDown() override { SupportRemoveFolder(directory); }

    std::string directory;
    std::string name;
};

int CountLines(const std::string& text) {
    int lines = 0;
    for (const char c : text) {
        lines += c == '\n';
    }
    return lines;
}

TEST_F(Log, InitFailsForAnEmptyNameOrAFileThatCannotBeOpened) {
    EXPECT_EQ(CLogInit("", 1000, 2000), 0);
    EXPECT_EQ(CLogInit(nullptr, 1000, 2000), 0);
    EXPECT_EQ(CLogInit((directory + "/missing/PELMOR.LOG").c_str(), 1000, 2000), 0);
    EXPECT_NE(CGetLastErrorString(nullptr, nullptr, 0), 0);
    EXPECT_EQ(CLogInit(directory.c_str(), 1000, 2000), 0); // a directory

    EXPECT_NE(CLogInit(name.c_str(), 1000, 2000), 0);
    EXPECT_TRUE(std::filesystem::exists(name));
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

TEST_F(Log, EntryIsOneLineWithEveryField) {
    ASSERT_NE(CLogInit(name.c_str(), 1000, 2000), 0);
    CLogWrite("pelmor", "RcvConSession()", 1, -3, 110, "Fehler: CSocketRead! ErrorCode: -3",
              "CSocketRead: recv: Connection timed out");
    CLogWrite("pelmor", "PelmorWork()", 1, 0, 0, "Fehler: Funktion\nRcvConSession()!", "");

    const std::string text = SupportReadFile(name);
    const std::string pid = std::to_string(getpid());
    const std::regex expected(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[" + pid +
        "\\] pelmor RcvConSession\\(\\) L1 E-3 N110 Fehler: CSocketRead! ErrorCode: -3 \\| "
        "CSocketRead: recv: Connection timed out\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[" +
        pid + "\\] pelmor PelmorWork\\(\\) L1 E0 N0 Fehler: Funktion RcvConSession\\(\\)!\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(Log, EntriesAboveTheConfiguredLevelAreNotWritten) {
    ASSERT_NE(CLogInit(name.c_str(), 1, 2000), 0);
    CLogWrite("pelmor", "PelmorExit()", 100, 0, 0, "Fehler: CSocketCleanup! ErrorCode: 5", "");
    CLogWrite("pelmor", "PelmorExit()", 1, 0, 0, "Fehler: wichtig", "");
    CLogWrite("pelmor", "PelmorExit()", 2, 0, 0, "Fehler: knapp darueber", "");

    const std::string text = SupportReadFile(name);
    EXPECT_EQ(CountLines(text), 1) << text;
    EXPECT_NE(text.find("Fehler: wichtig"), std::string::npos);
}

TEST_F(Log, AFullFileIsRenamedToOldAndANewOneBegun) {
    ASSERT_NE(CLogInit(name.c_str(), 1000, 1), 0); // 1 kilobyte
    const std::string filler(150, 'f');
    const int entries = 12; // about 200 bytes each: two rotations
    for (int i = 0; i < entries; ++i) {
        CLogWrite("pelmor", "PelmorWork()", 1, i, 0, "Fehler: voll", filler.c_str());
    }
    const std::string current = SupportReadFile(name);
    const std::string old = SupportReadFile(name + ".old");
    EXPECT_LE(current.size(), 1024u);
    EXPECT_LE(old.size(), 1024u);
    EXPECT_GT(CountLines(old), 0);
    // The newest entry is in the current file, the older generation was
    // replaced: fewer lines survive than were written.
    EXPECT_NE(current.find(" E11 "), std::string::npos);
    EXPECT_LT(CountLines(current) + CountLines(old), entries);
    EXPECT_EQ(old.find(" E0 "), std::string::npos);
}

TEST_F(Log, OverlongTextsAreCutToOneLine) {
    ASSERT_NE(CLogInit(name.c_str(), 1000, 2000), 0);
    const std::string huge(5000, 'h');
    CLogWrite("pelmor", "WinMain()", 1, 0, 0, huge.c_str(), huge.c_str());
    CLogWrite(nullptr, nullptr, 1, 0, 0, nullptr, nullptr);
    const std::string text = SupportReadFile(name);
    EXPECT_EQ(CountLines(text), 2);
    EXPECT_LE(text.find('\n'), 1024u);
}

} // namespace
