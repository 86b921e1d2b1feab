// Faults around the receiver's process and files: killed mid-stream, a full
// or unwritable buffer file, a buffer file taken away by a consumer, a log
// that cannot be written, a stop while a client streams. In each, nothing
// acknowledged is lost and the receiver keeps serving.
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/commlib/loopback.h"
#include "tests/faults/fault_receiver.h"

namespace {

namespace fs = std::filesystem;

std::string Numbered(int i)
{
    return "satz-" + std::to_string(i) + "-" + std::string(static_cast<std::size_t>(i % 90), 'a');
}

class StorageFaults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FaultPrepare(&receiver)); }
    void TearDown() override { FaultDiscard(&receiver); }

    std::string Buffer() const { return LoopbackReadFile(FaultPath(receiver, "PELMOR.BUF")); }
    std::string Log() const { return LoopbackReadFile(FaultPath(receiver, "PELMOR.LOG")); }

    // One session: each message must be acknowledged "1".
    void Session(int first, int count)
    {
        const int fd = LoopbackConnect(receiver.port);
        ASSERT_GE(fd, 0);
        for (int i = first; i < first + count; ++i) {
            ASSERT_EQ(FaultSendMessage(fd, Numbered(i)), '1') << "message " << i;
        }
        LoopbackSend(fd, "X");
        close(fd);
    }

    // Every session so far has ended once a further one is served.
    void Settle()
    {
        const int fd = LoopbackConnect(receiver.port);
        ASSERT_GE(fd, 0);
        LoopbackSend(fd, "X");
        EXPECT_EQ(LoopbackReceiveByte(fd), -1);
        close(fd);
    }

    FaultReceiver receiver;
};

TEST_F(StorageFaults, KillMidStreamKeepsEveryAcknowledgedRecordWhole)
{
    ASSERT_TRUE(FaultStart(&receiver));
    const int fd = LoopbackConnect(receiver.port);
    ASSERT_GE(fd, 0);
    int acknowledged = 0;
    while (acknowledged < 300 && FaultSendMessage(fd, Numbered(acknowledged)) == '1') {
        ++acknowledged;
    }
    ASSERT_EQ(acknowledged, 300);
    // One more in flight when the process dies.
    LoopbackSend(fd, Numbered(acknowledged));
    kill(receiver.pid, SIGKILL);
    EXPECT_EQ(FaultWaitExit(&receiver, 5000), -2);
    close(fd);

    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_GE(records.size(), static_cast<std::size_t>(acknowledged));
    ASSERT_LE(records.size(), static_cast<std::size_t>(acknowledged) + 1);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i], Numbered(static_cast<int>(i)));
    }

    // Nothing stale: a new receiver starts and appends after the kept records.
    ASSERT_TRUE(FaultStart(&receiver));
    Session(1000, 1);
    const std::vector<std::string> after = FaultRecords(Buffer());
    ASSERT_EQ(after.size(), records.size() + 1);
    EXPECT_EQ(after.back(), Numbered(1000));
}

// The limit falls inside the eleventh record: "2", the log entry, the
// session ends, and no part of that record stays in the file, so the records
// of the next session still start at a record boundary.
TEST_F(StorageFaults, FileSizeLimitAnswersTwoAndLeavesNoTornRecord)
{
    const uint64_t limit = 10 * FAULT_RECORD_BYTES + 100;
    ASSERT_TRUE(FaultStart(&receiver, limit));
    const int fd = LoopbackConnect(receiver.port);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(FaultSendMessage(fd, Numbered(i)), '1');
    }
    EXPECT_EQ(FaultSendMessage(fd, Numbered(10)), '2');
    EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "the session goes on after \"2\"";
    close(fd);
    Settle();
    EXPECT_NE(Log().find("Fehler: Satz in Pelmor-Bufferdatei schreiben"), std::string::npos);
    EXPECT_EQ(FaultRecords(Buffer()).size(), 10u);

    // Space is back.
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(receiver.pid, RLIMIT_FSIZE, &unlimited, nullptr), 0);
    Session(11, 2);
    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 12u);
    EXPECT_EQ(records[9], Numbered(9));
    EXPECT_EQ(records[10], Numbered(11));
    EXPECT_EQ(records[11], Numbered(12));
}

TEST_F(StorageFaults, BufferFileThatCannotBeOpenedRefusesSessionsUntilItCan)
{
    ASSERT_TRUE(FaultStart(&receiver));
    Session(0, 2);
    fs::rename(FaultPath(receiver, "PELMOR.BUF"), FaultPath(receiver, "saved.BUF"));
    fs::create_directory(FaultPath(receiver, "PELMOR.BUF"));

    const int fd = LoopbackConnect(receiver.port);
    ASSERT_GE(fd, 0);
    // Closed without a reply; with the message unread the close may come as a reset.
    EXPECT_LT(FaultSendMessage(fd, Numbered(2)), 0);
    close(fd);
    Settle();
    EXPECT_NE(Log().find("Fehler: Funktion RcvConSession()!"), std::string::npos);

    fs::remove(FaultPath(receiver, "PELMOR.BUF"));
    fs::rename(FaultPath(receiver, "saved.BUF"), FaultPath(receiver, "PELMOR.BUF"));
    Session(3, 1);
    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], Numbered(3));
}

TEST_F(StorageFaults, BufferFileMovedOrDeletedBetweenSessionsIsMadeAnew)
{
    ASSERT_TRUE(FaultStart(&receiver));
    Session(0, 3);
    fs::rename(FaultPath(receiver, "PELMOR.BUF"), FaultPath(receiver, "taken.BUF"));
    const std::string taken = LoopbackReadFile(FaultPath(receiver, "taken.BUF"));

    Session(3, 2);
    EXPECT_EQ(LoopbackReadFile(FaultPath(receiver, "taken.BUF")), taken);
    std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], Numbered(3));
    EXPECT_EQ(Buffer().substr(35, 3), "001");

    fs::remove(FaultPath(receiver, "PELMOR.BUF"));
    Session(5, 1);
    records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], Numbered(5));
}

TEST_F(StorageFaults, LogThatCannotBeWrittenDoesNotStopTheService)
{
    ASSERT_TRUE(FaultStart(&receiver));
    Session(0, 1);
    // Every later log write fails: the name leads to a full device.
    fs::remove(FaultPath(receiver, "PELMOR.LOG"));
    fs::create_symlink("/dev/full", FaultPath(receiver, "PELMOR.LOG"));

    // Sessions that end with a log entry: a client that says nothing and
    // one that closes at once.
    const int silent = LoopbackConnect(receiver.port);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(LoopbackReceiveByte(silent), -1);
    close(silent);
    const int gone = LoopbackConnect(receiver.port);
    ASSERT_GE(gone, 0);
    close(gone);

    Session(1, 3);
    EXPECT_EQ(FaultWaitExit(&receiver, 0), -1) << "the receiver ended";
    EXPECT_EQ(FaultRecords(Buffer()).size(), 4u);
}

TEST_F(StorageFaults, StopWhileAClientStreamsEndsInTimeAndKeepsAcknowledgedRecords)
{
    ASSERT_TRUE(FaultStart(&receiver));
    std::atomic<int> acknowledged{0};
    std::atomic<bool> running{true};
    std::thread client([&] {
        const int fd = LoopbackConnect(receiver.port);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (fd >= 0 && running && std::chrono::steady_clock::now() < end &&
               FaultSendMessage(fd, Numbered(acknowledged)) == '1') {
            ++acknowledged;
        }
        if (fd >= 0) {
            close(fd);
        }
    });
    const auto streaming = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (acknowledged < 100 && std::chrono::steady_clock::now() < streaming) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (acknowledged < 100) {
        running = false;
        client.join();
        FAIL() << "the client does not stream";
    }

    const auto stop = std::chrono::steady_clock::now();
    const int result = FaultControl("stop --timeout 10");
    const int exitCode = FaultWaitExit(&receiver, (FAULT_TIMEOUT_SECONDS + 3) * 1000);
    const auto took = std::chrono::steady_clock::now() - stop;
    running = false;
    client.join();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(exitCode, 0);
    EXPECT_LE(took, std::chrono::seconds(FAULT_TIMEOUT_SECONDS + 3));
    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_GE(records.size(), static_cast<std::size_t>(acknowledged.load()));
    for (int i = 0; i < acknowledged; ++i) {
        EXPECT_EQ(records[static_cast<std::size_t>(i)], Numbered(i));
    }
}

} // namespace
