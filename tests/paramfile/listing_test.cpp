// The listing: output byte-exact, one key press per entry, fed through a pipe
// as standard input, with standard output captured in a file.
#include "keyini_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace {

struct ListingRun {
    int returned;
    std::string output;
    std::string keysLeft;
    long milliseconds;
};

std::string ReadAll(int fd) {
    std::string bytes;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

// Runs ReadKeyIni with the given flags while standard input reads keys from
// a pipe and standard output goes to a file. With lateKey, one more key is
// written 300 ms after the start; the pipe is closed after the last key.
ListingRun RunListing(const char* path, uint32_t flags, ParameterDescriptor* table, int32_t count,
                      const std::string& keys, bool lateKey = false) {
    int input[2];
    EXPECT_EQ(pipe(input), 0);
    EXPECT_EQ(write(input[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    std::thread writer([&] {
        if (lateKey) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(write(input[1], "L", 1), 1);
        }
        close(input[1]);
    });
    if (!lateKey) {
        writer.join();
    }
    FILE* capture = std::tmpfile();
    std::fflush(stdout);
    int savedOut = dup(STDOUT_FILENO);
    int savedIn = dup(STDIN_FILENO);
    dup2(fileno(capture), STDOUT_FILENO);
    dup2(input[0], STDIN_FILENO);

    ListingRun run;
    int32_t code = -99;
    auto start = std::chrono::steady_clock::now();
    run.returned = ReadKeyIni(path, flags, table, count, &code, nullptr);
    run.milliseconds = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
    std::fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedIn, STDIN_FILENO);
    close(savedOut);
    close(savedIn);
    if (writer.joinable()) {
        writer.join();
    }

    std::rewind(capture);
    run.output = ReadAll(fileno(capture));
    std::fclose(capture);
    run.keysLeft = ReadAll(input[0]);
    close(input[0]);
    return run;
}

std::string GoldenFile(const char* name) {
    std::ifstream in(std::string(KEYINI_GOLDEN_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ParameterDescriptor ServiceEntry(const char* key, int32_t id, int32_t type, double min, double max,
                                 const char* defaultValue, const char* comment) {
    ParameterDescriptor entry = MakeEntry("PELMOR", key, type, min, max, defaultValue);
    entry.tokenId = id;
    entry.comment = comment;
    return entry;
}

TEST(Listing, ServiceTableAfterReadingMatchesTheGoldenOutput) {
    ParameterDescriptor table[6] = {
        ServiceEntry("UPLPORT", 0, TYPSTRING, 1, 5, "6664", "UPL-Empfangs-Port"),
        ServiceEntry("BUFFDATEI", 1, TYPSTRING, 1, 50, "PELMOR.BUF", "PELMOR-Bufferdatei"),
        ServiceEntry("LOGDATEI", 2, TYPSTRING, 1, 50, "PELMOR.LOG", "PELMOR-Logdatei"),
        ServiceEntry("MAXLOGSIZE", 3, TYPINT, 1, 10000, "2000", "max. Logdateigroesse"),
        ServiceEntry("ERRLEVEL", 4, TYPINT, 0, 10000, "1000", "ErrorLoglevel"),
        ServiceEntry("TIMEOUT", 5, TYPINT, 0, 1000, "3", "Receive-TimeOut")};
    std::string path = WriteTestFile("KEYINI\r\n[PELMOR]\r\nMAXLOGSIZE = 500\r\n");
    ListingRun run = RunListing(path.c_str(), KEYINI_READ | KEYINI_LIST, table, 6, "123456789");
    EXPECT_EQ(run.returned, 1);
    EXPECT_EQ(run.output, GoldenFile("pelmor_maxlogsize_listing.txt"));
    EXPECT_EQ(run.keysLeft, "789") << "one key press per entry";
}

TEST(Listing, EmptyTableWritesTheTitleOnlyAndAwaitsNoKey) {
    ListingRun run = RunListing(nullptr, KEYINI_LIST, nullptr, 0, "k");
    EXPECT_EQ(run.returned, 1);
    EXPECT_EQ(run.output, "Parameterliste fuer Programm-Initialisierungsdatei:\r\n");
    EXPECT_EQ(run.keysLeft, "k");
}

TEST(Listing, NullTextsUnnamedTypesAndEmptyContent) {
    ParameterDescriptor entry{};
    entry.type = -7;
    entry.min = -1.5;
    ListingRun run = RunListing(nullptr, KEYINI_LIST, &entry, 1, "");
    EXPECT_EQ(run.output, "Parameterliste fuer Programm-Initialisierungsdatei:\r\n"
                          "\r\n"
                          "Nummer_________: 0\r\nGruppen-Token__: (null)\r\n"
                          "Parameter-Token: (null)\r\nToken-ID_______: 0\r\n"
                          "Optional_______: 0\r\nOnError________: 0\r\n"
                          "Min____________: -1.500000\r\nMax____________: 0.000000\r\n"
                          "Typ____________: unbekannt (-7)\r\nDefault-Wert___: (null)\r\n"
                          "Inhalt_________: \r\nKommentar______: (null)\r\n"
                          "\r\nBitte eine Taste druecken !\r\n");
}

TEST(Listing, EndOfInputLetsTheListingGoOnWithoutWaiting) {
    ParameterDescriptor table[3] = {MakeEntry("G", "A", TYPINT), MakeEntry("G", "B", TYPINT),
                                    MakeEntry("G", "C", TYPINT)};
    ListingRun run = RunListing(nullptr, KEYINI_LIST, table, 3, "x");
    EXPECT_EQ(run.returned, 1);
    EXPECT_NE(run.output.find("Nummer_________: 2\r\n"), std::string::npos);
    EXPECT_LT(run.milliseconds, 450) << "no sleep once input has ended";
}

TEST(Listing, KeyAlreadyWaitingEndsTheWaitWithoutSleeping) {
    ParameterDescriptor table[2] = {MakeEntry("G", "A", TYPINT), MakeEntry("G", "B", TYPINT)};
    ListingRun run = RunListing(nullptr, KEYINI_LIST, table, 2, "ab");
    EXPECT_EQ(run.keysLeft, "");
    EXPECT_LT(run.milliseconds, 450) << "two waiting keys, no 500 ms sleep";
}

TEST(Listing, WaitsForAKeyThatIsNotThereYet) {
    ParameterDescriptor entry = MakeEntry("G", "A", TYPINT);
    ListingRun run = RunListing(nullptr, KEYINI_LIST, &entry, 1, "", true);
    EXPECT_GE(run.milliseconds, 250) << "the listing must wait for the key";
    EXPECT_EQ(run.keysLeft, "");
}

} // namespace
