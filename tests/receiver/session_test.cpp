// One session over loopback: RcvConSession serves a connection accepted by
// the real library in a second thread; the test is the client.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "name_watch_syscalls.h"
#include "records.h"
#include "session.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/records.h"

namespace {

constexpr std::size_t DISK = PELMOR_DISK_RECORD_LENGTH;

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = SupportMakeFolder();
        ASSERT_FALSE(directory.empty());
        logName = directory + "/PELMOR.LOG";
        bufferName = directory + "/PELMOR.BUF";
        ASSERT_NE(CLogInit(logName.c_str(), 1000, 2000), 0);
        std::strcpy(context.localIP, "127.000.000.001");
        std::strcpy(context.portText, "6664");
        context.port = 6664;
        FormatRecordPrefix(&context);
        context.timeout = 5; // bounds every wait of a session
        SetBufferName(bufferName);
        ASSERT_EQ(CSocketServerInit(&context.listenSocket, 0, &port), 0);
    }

    void TearDown() override {
        if (server.joinable()) {
            server.join();
        }
        CSocketClose(context.listenSocket);
        SupportRemoveFolder(directory);
    }

    void SetBufferName(const std::string& name) {
        std::snprintf(context.bufferFileName, sizeof context.bufferFileName, "%s", name.c_str());
    }

    // Accepts one connection and serves it in the server thread; returns the
    // client's end.
    int StartSession() {
        sessionResult = -1;
        server = std::thread([this] {
            NevtarSocket connection = -1;
            if (CSocketServerOpen(context.listenSocket, &connection, nullptr, 50) == 0) {
                sessionResult = RcvConSession(&context, connection);
                CSocketClose(connection);
            }
        });
        const int client = LoopbackConnect(port);
        EXPECT_GE(client, 0);
        return client;
    }

    // Ends the client's side and waits for the session to end.
    int FinishSession(int client) {
        shutdown(client, SHUT_WR);
        server.join();
        close(client);
        return sessionResult;
    }

    // Sends one message and waits for its acknowledgement.
    static int Exchange(int client, const std::string& message) {
        if (!LoopbackSend(client, message)) {
            return -3;
        }
        return LoopbackReceiveByte(client);
    }

    std::string Log() const { return SupportReadFile(logName); }
    std::string Buffer() const { return SupportReadFile(bufferName); }

    std::string directory;
    std::string logName;
    std::string bufferName;
    ReceiverContext context{};
    int32_t port = 0;
    std::thread server;
    int sessionResult = -1;
};

SupportRecord RecordAt(const std::string& file, std::size_t index) {
    return SupportRecordColumns(file.substr(index * DISK, DISK));
}

int watchErrno;

// A name watch call that fails with watchErrno, for any entry of the table.
template <typename Result, typename... Arguments> Result FailWatch(Arguments...) {
    errno = watchErrno;
    return Result(-1);
}

TEST_F(Session, EachMessageBecomesA552ByteRecordAndIsAcknowledged) {
    const int client = StartSession();
    EXPECT_EQ(Exchange(client, "ABC"), PELMOR_ACK_STORED);
    EXPECT_EQ(Exchange(client, "second"), PELMOR_ACK_STORED);
    // Acknowledged means on disk, not in a stream buffer.
    EXPECT_EQ(Buffer().size(), 2 * DISK);
    ASSERT_TRUE(LoopbackEndSession(client));
    EXPECT_EQ(LoopbackReceiveByte(client), -1); // closed, no reply
    EXPECT_EQ(FinishSession(client), 1);

    const std::string file = Buffer();
    ASSERT_EQ(file.size(), 2 * DISK);
    const SupportRecord first = RecordAt(file, 0);
    EXPECT_EQ(first.mark + first.ip + first.port, "$127.000.000.00106664");
    EXPECT_EQ(first.stamp.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(first.counter, "001");
    EXPECT_EQ(first.message, SupportPaddedMessage("ABC"));
    EXPECT_EQ(first.lineEnd, "\r\n");
    EXPECT_EQ(RecordAt(file, 1).counter, "002");
    EXPECT_EQ(RecordAt(file, 1).message, SupportPaddedMessage("second"));
    EXPECT_EQ(Log(), ""); // "X" is no failure

    struct stat status {};
    ASSERT_EQ(stat(bufferName.c_str(), &status), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(status.st_mode & 0777, 0644 & ~mask);
}

TEST_F(Session, OnlyAnUpperCaseXEndsTheSession) {
    const int client = StartSession();
    EXPECT_EQ(Exchange(client, "xylophon"), PELMOR_ACK_STORED);
    ASSERT_TRUE(LoopbackSend(client, "Xende"));
    EXPECT_EQ(LoopbackReceiveByte(client), -1);
    EXPECT_EQ(FinishSession(client), 1);
    const std::string file = Buffer();
    ASSERT_EQ(file.size(), DISK);
    EXPECT_EQ(RecordAt(file, 0).message, SupportPaddedMessage("xylophon"));
}

TEST_F(Session, MessageBytesGoIntoTheRecordAsTheyCame) {
    std::string full(512, 'm');
    full[0] = 'F';
    full[100] = '\n';
    full[200] = '\r';
    full[511] = '\n';
    const int client = StartSession();
    EXPECT_EQ(Exchange(client, full), PELMOR_ACK_STORED);
    EXPECT_EQ(Exchange(client, std::string("AB\0CD", 5)), PELMOR_ACK_STORED);
    EXPECT_EQ(FinishSession(client), 1);

    const std::string file = Buffer();
    ASSERT_EQ(file.size(), 2 * DISK);
    EXPECT_EQ(RecordAt(file, 0).message, full);
    EXPECT_EQ(RecordAt(file, 0).lineEnd, "\r\n");
    EXPECT_EQ(RecordAt(file, 1).message, SupportPaddedMessage("AB"));
}

TEST_F(Session, SequenceWrapsAfter999AndEachSessionStartsAt001) {
    int client = StartSession();
    for (int i = 1; i <= 1001; ++i) {
        ASSERT_EQ(Exchange(client, "n" + std::to_string(i)), PELMOR_ACK_STORED) << i;
    }
    ASSERT_TRUE(LoopbackEndSession(client));
    EXPECT_EQ(FinishSession(client), 1);

    client = StartSession();
    EXPECT_EQ(Exchange(client, "neu"), PELMOR_ACK_STORED);
    ASSERT_TRUE(LoopbackEndSession(client));
    EXPECT_EQ(FinishSession(client), 1);

    const std::string file = Buffer();
    ASSERT_EQ(file.size(), 1002 * DISK);
    EXPECT_EQ(RecordAt(file, 998).counter, "999");
    EXPECT_EQ(RecordAt(file, 999).counter, "000");
    EXPECT_EQ(RecordAt(file, 1000).counter, "001");
    EXPECT_EQ(RecordAt(file, 1001).counter, "001");
    EXPECT_EQ(RecordAt(file, 1001).message, SupportPaddedMessage("neu"));
}

TEST_F(Session, BufferFileMovedAwayBetweenSessionsIsCreatedAnew) {
    int client = StartSession();
    EXPECT_EQ(Exchange(client, "eins"), PELMOR_ACK_STORED);
    EXPECT_EQ(FinishSession(client), 1);
    const std::string moved = directory + "/PELMOR.BUF.taken";
    ASSERT_EQ(std::rename(bufferName.c_str(), moved.c_str()), 0);

    client = StartSession();
    EXPECT_EQ(Exchange(client, "zwei"), PELMOR_ACK_STORED);
    EXPECT_EQ(FinishSession(client), 1);
    EXPECT_EQ(RecordAt(SupportReadFile(moved), 0).message, SupportPaddedMessage("eins"));
    EXPECT_EQ(RecordAt(Buffer(), 0).message, SupportPaddedMessage("zwei"));
}

// A name gone between the open and the watch (a rename raced it) is no
// watch the system refused: the one log line stays for a session whose
// watch the system cannot give (no inotify instance left), and is said then
// only once. The records are stored either way.
TEST_F(Session, OnlyAWatchTheSystemRefusesIsLoggedAndOnlyOnce) {
    const struct {
        int number;
        void (*inject)();
        bool logged;
    } opens[] = {
        {ENOENT, [] { nameWatchSyscalls.addWatch = FailWatch; }, false},
        {EMFILE, [] { nameWatchSyscalls.initWatch = FailWatch; }, true},
        {EMFILE, [] { nameWatchSyscalls.initWatch = FailWatch; }, true},
    };
    const std::string line = "Fehler: Pelmor-Bufferdatei ohne Namensueberwachung, Pruefung je Satz";
    for (const auto& open : opens) {
        watchErrno = open.number;
        open.inject();
        const int client = StartSession();
        const int stored = Exchange(client, "eins");
        FinishSession(client);
        nameWatchSyscalls = nameWatchSyscallsSystem;
        const std::string log = Log();
        EXPECT_EQ(stored, PELMOR_ACK_STORED) << std::strerror(open.number);
        EXPECT_EQ(log.find(line) != std::string::npos, open.logged)
            << std::strerror(open.number) << "\n"
            << log;
        EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    }
    EXPECT_EQ(Buffer().size(), 3 * DISK);
}

TEST_F(Session, ReadTimeOutEndsTheSessionWithItsLogEntry) {
    context.timeout = 1;
    const int client = StartSession();
    EXPECT_EQ(LoopbackReceiveByte(client), -1); // closed after the time-out
    EXPECT_EQ(FinishSession(client), 1);
    EXPECT_NE(Log().find("pelmor RcvConSession() L1 E-3 N0 Fehler: CSocketRead! ErrorCode: -3\n"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Buffer(), "");
}

TEST_F(Session, PeerCloseEndsTheSessionWithReadResultZero) {
    const int client = StartSession();
    EXPECT_EQ(Exchange(client, "vorher"), PELMOR_ACK_STORED);
    EXPECT_EQ(FinishSession(client), 1);
    EXPECT_NE(Log().find("RcvConSession() L1 E0 N0 Fehler: CSocketRead! ErrorCode: 0\n"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Buffer().size(), DISK);
}

TEST_F(Session, UnopenableBufferFileEndsTheSessionBeforeAnythingIsRead) {
    SetBufferName(directory + "/fehlt/PELMOR.BUF");
    const int client = LoopbackConnect(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(LoopbackSend(client, "ABC"));
    NevtarSocket connection = -1;
    ASSERT_EQ(CSocketServerOpen(context.listenSocket, &connection, nullptr, 50), 0);
    pollfd arrived{connection, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 5000), 1);

    EXPECT_EQ(RcvConSession(&context, connection), 0);
    char pending[8];
    EXPECT_EQ(recv(connection, pending, sizeof pending, MSG_DONTWAIT), 3); // still unread
    CSocketClose(connection);
    EXPECT_EQ(LoopbackReceiveByte(client), -1); // closed without a reply
    close(client);
}

TEST_F(Session, FailedWriteIsAnsweredWith2AndEndsTheSession) {
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = 2 * DISK; // room for two records
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    const int client = StartSession();
    const int first = Exchange(client, "eins");
    const int second = Exchange(client, "zwei");
    const int third = Exchange(client, "drei");
    const int after = LoopbackReceiveByte(client);
    const int result = FinishSession(client);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(first, PELMOR_ACK_STORED);
    EXPECT_EQ(second, PELMOR_ACK_STORED);
    EXPECT_EQ(third, PELMOR_ACK_FAILED);
    EXPECT_EQ(after, -1); // the session ended after "2"
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Buffer().size(), 2 * DISK);
    EXPECT_NE(Log().find("RcvConSession() L1 E0 N0 Fehler: Satz in Pelmor-Bufferdatei "
                         "schreiben (fflush)!\n"),
              std::string::npos)
        << Log();
}

TEST_F(Session, RecordTornByTheSizeLimitIsCutBackAndTheNextSessionKeepsTheFraming) {
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = DISK + DISK / 2; // the second record fits only in part
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    int client = StartSession();
    const int first = Exchange(client, "eins");
    const int second = Exchange(client, "zwei");
    FinishSession(client);
    const std::size_t sizeAtLimit = Buffer().size();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    client = StartSession();
    const int third = Exchange(client, "drei");
    FinishSession(client);

    EXPECT_EQ(first, PELMOR_ACK_STORED);
    EXPECT_EQ(second, PELMOR_ACK_FAILED);
    EXPECT_EQ(third, PELMOR_ACK_STORED);
    EXPECT_EQ(sizeAtLimit, DISK);
    const std::string buffer = Buffer();
    ASSERT_EQ(buffer.size(), 2 * DISK);
    EXPECT_EQ(RecordAt(buffer, 0).message, SupportPaddedMessage("eins"));
    EXPECT_EQ(RecordAt(buffer, 1).message, SupportPaddedMessage("drei"));
}

TEST_F(Session, ClientGoneBeforeItsAcknowledgementLeavesTheProcessRunning) {
    std::signal(SIGPIPE, SIG_DFL); // a SIGPIPE would end the test process
    // The client sends and resets before the connection is even accepted, so
    // the acknowledgement goes to a connection that no longer exists.
    const int client = LoopbackConnect(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(LoopbackSend(client, "verwaist"));
    LoopbackReset(client);
    NevtarSocket connection = -1;
    ASSERT_EQ(CSocketServerOpen(context.listenSocket, &connection, nullptr, 50), 0);

    EXPECT_EQ(RcvConSession(&context, connection), 1);
    CSocketClose(connection);
    EXPECT_EQ(RecordAt(Buffer(), 0).message, SupportPaddedMessage("verwaist"));
    EXPECT_NE(Log().find("RcvConSession() L1 E-2 N0 Fehler: CSocketWrite! ErrorCode: -2\n"),
              std::string::npos)
        << Log();
}

} // namespace
