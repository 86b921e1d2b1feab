// Faults around the receiver's process and files: killed mid-stream, a full
// or unopenable buffer file, a torn record, a buffer file taken away by a
// consumer, FIFOs and other users' links in place of its files, a log that
// cannot be written, a stop while a client streams. In each, nothing
// acknowledged is lost, nothing planted is written and the receiver keeps
// serving.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fault_support.h"

namespace {

using FaultClock = std::chrono::steady_clock;

using StorageFaults = FaultTest;

TEST_F(StorageFaults, KillMidStreamKeepsEveryAcknowledgedRecordWhole) {
    Start();
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    int acknowledged = 0;
    while (acknowledged < 300 &&
           LoopbackSendMessage(fd, FaultMessage(acknowledged)) == PELMOR_ACK_STORED) {
        ++acknowledged;
    }
    ASSERT_EQ(acknowledged, 300);
    // One more in flight when the process dies.
    LoopbackSend(fd, FaultMessage(acknowledged));
    kill(receiver, SIGKILL);
    EXPECT_EQ(ReceiverExit(receiver), 128 + SIGKILL);
    close(fd);

    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_GE(records.size(), static_cast<std::size_t>(acknowledged));
    ASSERT_LE(records.size(), static_cast<std::size_t>(acknowledged) + 1);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i], FaultMessage(static_cast<int>(i)));
    }

    // Nothing stale: a new receiver starts and appends after the kept records.
    Start();
    Session(1000, 1);
    const std::vector<std::string> after = FaultRecords(Buffer());
    ASSERT_EQ(after.size(), records.size() + 1);
    EXPECT_EQ(after.back(), FaultMessage(1000));
}

// The limit falls inside the eleventh record: "2", the log entry, the
// session ends, and no part of that record stays in the file, so the records
// of the next session still start at a record boundary.
TEST_F(StorageFaults, FileSizeLimitAnswersTwoAndLeavesNoTornRecord) {
    Start(10 * PELMOR_DISK_RECORD_LENGTH + 100);
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(i)), PELMOR_ACK_STORED);
    }
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(10)), PELMOR_ACK_FAILED);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "the session goes on after \"2\"";
    close(fd);
    Settle();
    EXPECT_EQ(E2eCount(Log(), "Fehler: Satz in Pelmor-Bufferdatei schreiben"), 1) << Log();
    EXPECT_EQ(FaultRecords(Buffer()).size(), 10u);

    // Space is back.
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(receiver, RLIMIT_FSIZE, &unlimited, nullptr), 0);
    Session(11, 2);
    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 12u);
    EXPECT_EQ(records[9], FaultMessage(9));
    EXPECT_EQ(records[10], FaultMessage(11));
    EXPECT_EQ(records[11], FaultMessage(12));
}

// A torn record at the end of the file, as a process that died while
// writing leaves it, is cut back before a session appends; one that a size
// limit tears is cut back from the file's present length, also when a
// consumer emptied the file during the session.
TEST_F(StorageFaults, TornRecordsAreCutBackFromThePresentLength) {
    Start();
    Session(0, 2);
    std::ofstream(PathOf("PELMOR.BUF"), std::ios::app | std::ios::binary) << std::string(96, 'x');
    Session(2, 1);
    std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], FaultMessage(2));
    EXPECT_EQ(E2eCount(Log(), "Fehler: Satzrest von 96 Bytes aus Pelmor-Bufferdatei entfernt"), 1)
        << Log();

    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(3)), PELMOR_ACK_STORED);
    ASSERT_EQ(truncate(PathOf("PELMOR.BUF").c_str(), 0), 0);
    rlimit limit{};
    ASSERT_EQ(prlimit(receiver, RLIMIT_FSIZE, nullptr, &limit), 0);
    limit.rlim_cur = PELMOR_DISK_RECORD_LENGTH + 100;
    ASSERT_EQ(prlimit(receiver, RLIMIT_FSIZE, &limit, nullptr), 0);
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(4)), PELMOR_ACK_STORED);
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(5)), PELMOR_ACK_FAILED);
    close(fd);
    Settle();
    records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], FaultMessage(4));
}

// A consumer renames the file, then deletes the next one, while a client
// streams: each acknowledged record is in the file bearing the name or in
// the renamed one, and the sequence numbers go on.
TEST_F(StorageFaults, RecordsFollowTheNameWhenTheFileIsTakenDuringASession) {
    Start();
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(0)), PELMOR_ACK_STORED);
    ASSERT_EQ(std::rename(PathOf("PELMOR.BUF").c_str(), PathOf("taken.BUF").c_str()), 0);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(1)), PELMOR_ACK_STORED);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(2)), PELMOR_ACK_STORED);
    EXPECT_EQ(FaultRecords(Buffer()), (std::vector<std::string>{FaultMessage(1), FaultMessage(2)}));
    ASSERT_EQ(std::remove(PathOf("PELMOR.BUF").c_str()), 0);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(3)), PELMOR_ACK_STORED);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(4)), PELMOR_ACK_STORED);
    LoopbackEndSession(fd);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1);
    close(fd);

    const std::vector<std::string> taken = FaultRecords(SupportReadFile(PathOf("taken.BUF")));
    ASSERT_GE(taken.size(), 1u);
    ASSERT_LE(taken.size(), 2u) << "at most the record of the hand-off twice";
    EXPECT_EQ(taken[0], FaultMessage(0));
    EXPECT_EQ(FaultRecords(Buffer()), (std::vector<std::string>{FaultMessage(3), FaultMessage(4)}));
    const std::vector<SupportRecord> kept = SupportRecordsOf(Buffer());
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].counter + kept[1].counter, "004005");
}

// Where the system cannot report a move of the name, the name is checked per
// record, said once in the log: a name through a linked folder, and no
// descriptor left for the watch. The records follow the name as above.
TEST_F(StorageFaults, WithoutANameWatchRecordsStillFollowTheName) {
    ASSERT_EQ(mkdir(PathOf("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", PathOf("linked").c_str()), 0);
    for (const std::string buffer : {"linked/PELMOR.BUF", "PELMOR.BUF"}) {
        SCOPED_TRACE(buffer);
        const bool linked = buffer != "PELMOR.BUF";
        WriteIni("pelmor.ini", {"UPLPORT    = " + std::to_string(port), "BUFFDATEI  = " + buffer,
                                "LOGDATEI   = PELMOR.LOG", "ERRLEVEL   = 1000", "TIMEOUT    = 1"});
        Start();
        Session(0, 1);
        if (!linked) {
            // Descriptors for the connection and the buffer file, none for the watch.
            rlimit tight{};
            ASSERT_EQ(prlimit(receiver, RLIMIT_NOFILE, nullptr, &tight), 0);
            const int connection = FaultLowestFreeDescriptor(receiver);
            tight.rlim_cur =
                static_cast<rlim_t>(FaultLowestFreeDescriptor(receiver, connection)) + 1;
            ASSERT_EQ(prlimit(receiver, RLIMIT_NOFILE, &tight, nullptr), 0);
        }
        const int fd = LoopbackConnect(port);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(1)), PELMOR_ACK_STORED);
        ASSERT_EQ(std::rename(PathOf(buffer).c_str(), PathOf("taken.BUF").c_str()), 0);
        ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(2)), PELMOR_ACK_STORED);
        ASSERT_EQ(std::remove(PathOf(buffer).c_str()), 0);
        ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(3)), PELMOR_ACK_STORED);
        LoopbackEndSession(fd);
        EXPECT_EQ(LoopbackReceiveByte(fd), -1);
        close(fd);
        EXPECT_EQ(FaultRecords(SupportReadFile(PathOf(buffer))),
                  std::vector<std::string>{FaultMessage(3)});
        const std::vector<std::string> taken = FaultRecords(SupportReadFile(PathOf("taken.BUF")));
        ASSERT_GE(taken.size(), 2u);
        EXPECT_EQ(taken[0], FaultMessage(0));
        EXPECT_EQ(taken[1], FaultMessage(1));
        if (linked) {
            // Not written without descriptors: the log opens its file per entry.
            EXPECT_EQ(E2eCount(Log(), "Fehler: Pelmor-Bufferdatei ohne Namensueberwachung"), 1)
                << Log();
        }
        ASSERT_EQ(RunPelmorctl({"stop", "--timeout", "5"}).exitCode, 0);
        EXPECT_EQ(ReceiverExit(receiver, 5000), 0);
        ASSERT_EQ(std::remove(PathOf("taken.BUF").c_str()), 0);
        ASSERT_EQ(std::remove(PathOf(buffer).c_str()), 0);
    }
}

// The watch's signal ends a waiting read early: the read goes on, with no
// log entry and no byte lost, and a silent client is still dropped after the
// time-out, however often the file's attributes change meanwhile.
TEST_F(StorageFaults, ReadsEndedByTheNameWatchGoOnUntilTheTimeOut) {
    Start();
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(0)), PELMOR_ACK_STORED);
    std::atomic<bool> changing{true};
    std::thread consumer([&] {
        const auto end = FaultClock::now() + std::chrono::seconds(FAULT_TIMEOUT_SECONDS + 5);
        for (mode_t mode = 0600; changing && FaultClock::now() < end; mode ^= 040) {
            chmod(PathOf("PELMOR.BUF").c_str(), mode);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(FAULT_TIMEOUT_SECONDS * 700));
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(1)), PELMOR_ACK_STORED);
    const auto silent = FaultClock::now();
    const int ending = LoopbackReceiveByte(fd);
    const auto took = FaultClock::now() - silent;
    changing = false;
    consumer.join();
    close(fd);

    EXPECT_EQ(ending, -1);
    EXPECT_GE(took, std::chrono::milliseconds(FAULT_TIMEOUT_SECONDS * 900));
    EXPECT_LT(took, std::chrono::seconds(FAULT_TIMEOUT_SECONDS + 2));
    EXPECT_EQ(E2eCount(Log(), "CSocketRead"), 1) << Log();
    EXPECT_EQ(E2eCount(Log(), "Fehler: CSocketRead! ErrorCode: -3"), 1) << Log();
    EXPECT_EQ(E2eCount(Log(), "Namensueberwachung"), 0) << Log();
    EXPECT_EQ(FaultRecords(Buffer()), (std::vector<std::string>{FaultMessage(0), FaultMessage(1)}));
}

// A FIFO in place of the log or the buffer file is refused like a file that
// cannot be opened, at start-up and while the receiver runs, instead of
// waiting for a reader.
TEST_F(StorageFaults, FifosInPlaceOfTheFilesAreRefusedNotWaitedOn) {
    ASSERT_EQ(mkfifo(PathOf("PELMOR.LOG").c_str(), 0644), 0);
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"}), 5000), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Logdatei \"PELMOR.LOG\" nicht gestartet\n");
    ASSERT_EQ(std::remove(PathOf("PELMOR.LOG").c_str()), 0);

    Start();
    ASSERT_EQ(std::remove(PathOf("PELMOR.LOG").c_str()), 0);
    ASSERT_EQ(mkfifo(PathOf("PELMOR.LOG").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo(PathOf("PELMOR.BUF").c_str(), 0644), 0);
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    LoopbackSend(fd, FaultMessage(0));
    EXPECT_LT(LoopbackReceiveByte(fd), 0) << "closed without a reply";
    close(fd);

    ASSERT_EQ(std::remove(PathOf("PELMOR.BUF").c_str()), 0);
    Session(1, 1);
    EXPECT_EQ(FaultRecords(Buffer()).size(), 1u);
    const ToolRun stopped = RunPelmorctl({"stop", "--timeout", "5"});
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_EQ(ReceiverExit(receiver, 1000), 0);
}

// Another user's link as the buffer file or the log is not written through;
// a link of the receiver's own user is.
TEST_F(StorageFaults, LinksOfAnotherUserAreNotWrittenThrough) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    constexpr uid_t OTHER_USER = 65534;
    std::ofstream(PathOf("victim")) << "geheim\n";
    Start();
    Session(0, 1);
    for (const char* name : {"PELMOR.BUF", "PELMOR.LOG"}) {
        ASSERT_EQ(std::remove(PathOf(name).c_str()), 0);
        ASSERT_EQ(symlink("victim", PathOf(name).c_str()), 0);
        ASSERT_EQ(lchown(PathOf(name).c_str(), OTHER_USER, OTHER_USER), 0);
    }
    // Refused: the session logs, the log refuses too.
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    LoopbackSend(fd, FaultMessage(1));
    EXPECT_LT(LoopbackReceiveByte(fd), 0);
    close(fd);
    EXPECT_EQ(SupportReadFile(PathOf("victim")), "geheim\n");

    ASSERT_EQ(std::remove(PathOf("PELMOR.BUF").c_str()), 0);
    ASSERT_EQ(symlink("own.BUF", PathOf("PELMOR.BUF").c_str()), 0);
    Session(2, 1);
    EXPECT_EQ(FaultRecords(SupportReadFile(PathOf("own.BUF"))),
              std::vector<std::string>{FaultMessage(2)});
    EXPECT_TRUE(Running());
}

// A folder on the path that another user may replace (here by his link,
// before the start and in the middle of a session) never steers a write
// into his folder, and a file of his is not written even where a link of
// ours leads to it.
TEST_F(StorageFaults, NoLinkOfAnotherUserInAnyFolderOfThePath) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    constexpr uid_t OTHER_USER = 65534;
    ASSERT_EQ(mkdir(PathOf("his").c_str(), 0777), 0);
    ASSERT_EQ(chown(PathOf("his").c_str(), OTHER_USER, OTHER_USER), 0);
    const std::string his = PathOf("his/PELMOR.BUF");
    std::ofstream(his) << "seine\n";
    ASSERT_EQ(chmod(his.c_str(), 0666), 0);
    ASSERT_EQ(chown(his.c_str(), OTHER_USER, OTHER_USER), 0);
    const auto plantLink = [this](const char* target, uid_t owner) {
        ASSERT_EQ(symlink(target, PathOf("spool").c_str()), 0);
        ASSERT_EQ(lchown(PathOf("spool").c_str(), owner, owner), 0);
    };
    WriteIni("pelmor.ini", {"UPLPORT = " + std::to_string(port), "BUFFDATEI = spool/PELMOR.BUF",
                            "LOGDATEI = spool/PELMOR.LOG", "MAXLOGSIZE = 2000", "ERRLEVEL = 1000",
                            "TIMEOUT = 1"});
    plantLink("his", OTHER_USER);
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Logdatei \"spool/PELMOR.LOG\" nicht gestartet\n");

    ASSERT_EQ(std::remove(PathOf("spool").c_str()), 0);
    ASSERT_EQ(mkdir(PathOf("spool").c_str(), 0755), 0);
    Start();
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(0)), PELMOR_ACK_STORED);
    ASSERT_EQ(std::rename(PathOf("spool").c_str(), PathOf("mine").c_str()), 0);
    plantLink("his", OTHER_USER);
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(1)), PELMOR_ACK_FAILED)
        << "not followed to his file";
    close(fd);
    EXPECT_EQ(SupportReadFile(his), "seine\n");
    EXPECT_FALSE(std::ifstream(PathOf("his/PELMOR.LOG")).good()) << "no log in his folder";

    // A link of root's leads to his folder: his file there is not written.
    ASSERT_EQ(std::remove(PathOf("spool").c_str()), 0);
    plantLink("his", 0);
    const int refused = LoopbackConnect(port);
    ASSERT_GE(refused, 0);
    LoopbackSend(refused, FaultMessage(2));
    EXPECT_LT(LoopbackReceiveByte(refused), 0);
    close(refused);
    EXPECT_EQ(SupportReadFile(his), "seine\n");

    // And one to our own folder is followed.
    ASSERT_EQ(std::remove(PathOf("spool").c_str()), 0);
    plantLink("mine", 0);
    Session(3, 1);
    EXPECT_EQ(FaultRecords(SupportReadFile(PathOf("mine/PELMOR.BUF"))).back(), FaultMessage(3));
    EXPECT_TRUE(Running());
}

// MAXBUFSIZE (kilobytes): a record that would take the file past it is
// answered "2" and logged once per session, as on a full disk; once a
// consumer took the file, records are stored again.
TEST_F(StorageFaults, BufferFileBoundAnswersTwoAsAFullDiskDoes) {
    WriteIni("pelmor.ini", {"UPLPORT = " + std::to_string(port), "BUFFDATEI = PELMOR.BUF",
                            "LOGDATEI = PELMOR.LOG", "MAXLOGSIZE = 2000", "ERRLEVEL = 1000",
                            "TIMEOUT = 1", "MAXBUFSIZE = 2"});
    Start();
    constexpr int fitting = 2048 / PELMOR_DISK_RECORD_LENGTH;
    for (int session = 0; session < 2; ++session) {
        const int fd = LoopbackConnect(port);
        ASSERT_GE(fd, 0);
        for (int i = 0; session == 0 && i < fitting; ++i) {
            ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(i)), PELMOR_ACK_STORED);
        }
        EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(fitting)), PELMOR_ACK_FAILED);
        EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "the session ends after \"2\"";
        close(fd);
    }
    Settle();
    EXPECT_EQ(E2eCount(Log(), "Fehler: Pelmor-Bufferdatei hat MAXBUFSIZE (2 KB) erreicht!"), 2)
        << Log();
    EXPECT_EQ(FaultRecords(Buffer()).size(), static_cast<std::size_t>(fitting));

    ASSERT_EQ(std::rename(PathOf("PELMOR.BUF").c_str(), PathOf("taken.BUF").c_str()), 0);
    Session(10, fitting);
    EXPECT_EQ(FaultRecords(Buffer()).size(), static_cast<std::size_t>(fitting));
}

TEST_F(StorageFaults, BufferFileThatCannotBeOpenedRefusesSessionsUntilItCan) {
    Start();
    Session(0, 2);
    ASSERT_EQ(std::rename(PathOf("PELMOR.BUF").c_str(), PathOf("saved.BUF").c_str()), 0);
    ASSERT_EQ(mkdir(PathOf("PELMOR.BUF").c_str(), 0755), 0);

    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    // Closed without a reply; with the message unread the close may come as a reset.
    LoopbackSend(fd, FaultMessage(2));
    EXPECT_LT(LoopbackReceiveByte(fd), 0);
    close(fd);

    ASSERT_EQ(rmdir(PathOf("PELMOR.BUF").c_str()), 0);
    ASSERT_EQ(std::rename(PathOf("saved.BUF").c_str(), PathOf("PELMOR.BUF").c_str()), 0);
    Session(3, 1);
    EXPECT_EQ(E2eCount(Log(), "Fehler: Funktion RcvConSession()!"), 1) << Log();
    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], FaultMessage(3));
}

TEST_F(StorageFaults, BufferFileMovedOrDeletedBetweenSessionsIsMadeAnew) {
    Start();
    Session(0, 3);
    ASSERT_EQ(std::rename(PathOf("PELMOR.BUF").c_str(), PathOf("taken.BUF").c_str()), 0);
    const std::string taken = SupportReadFile(PathOf("taken.BUF"));

    Session(3, 2);
    EXPECT_EQ(SupportReadFile(PathOf("taken.BUF")), taken);
    std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], FaultMessage(3));
    EXPECT_EQ(SupportRecordColumns(Buffer()).counter, "001");

    ASSERT_EQ(std::remove(PathOf("PELMOR.BUF").c_str()), 0);
    Session(5, 1);
    records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], FaultMessage(5));
}

TEST_F(StorageFaults, LogThatCannotBeWrittenDoesNotStopTheService) {
    Start();
    Session(0, 1);
    // Every later log write fails: the name leads to a full device.
    ASSERT_EQ(std::remove(PathOf("PELMOR.LOG").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", PathOf("PELMOR.LOG").c_str()), 0);

    // Sessions that end with a log entry: a client that says nothing until
    // the time-out, and one that closes at once.
    const int silent = LoopbackConnect(port);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(LoopbackReceiveByte(silent), -1);
    close(silent);
    const int gone = LoopbackConnect(port);
    ASSERT_GE(gone, 0);
    close(gone);

    Session(1, 3);
    EXPECT_TRUE(Running());
    EXPECT_EQ(FaultRecords(Buffer()).size(), 4u);
}

TEST_F(StorageFaults, StopWhileAClientStreamsEndsInTimeAndKeepsAcknowledgedRecords) {
    Start();
    std::atomic<int> acknowledged{0};
    std::atomic<bool> streaming{true};
    std::thread client([&] {
        const int fd = LoopbackConnect(port);
        const auto end = FaultClock::now() + std::chrono::seconds(30);
        while (fd >= 0 && streaming && FaultClock::now() < end &&
               LoopbackSendMessage(fd, FaultMessage(acknowledged)) == PELMOR_ACK_STORED) {
            ++acknowledged;
        }
        if (fd >= 0) {
            close(fd);
        }
    });
    const auto started = FaultClock::now() + std::chrono::seconds(10);
    while (acknowledged < 100 && FaultClock::now() < started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (acknowledged < 100) {
        streaming = false;
        client.join();
        FAIL() << "the client does not stream";
    }

    const auto stop = FaultClock::now();
    const ToolRun stopped = RunPelmorctl({"stop", "--timeout", "10"});
    const int exitCode = ReceiverExit(receiver, (FAULT_TIMEOUT_SECONDS + 3) * 1000);
    const auto took = FaultClock::now() - stop;
    streaming = false;
    client.join();

    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_EQ(exitCode, 0);
    EXPECT_LE(took, std::chrono::seconds(FAULT_TIMEOUT_SECONDS + 3));
    const std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_GE(records.size(), static_cast<std::size_t>(acknowledged.load()));
    for (int i = 0; i < acknowledged; ++i) {
        EXPECT_EQ(records[static_cast<std::size_t>(i)], FaultMessage(i));
    }
}

} // namespace
