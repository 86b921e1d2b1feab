// The real receiver over loopback: records, single copy, stopping, start-up
// failures.
#include "e2e_support.h"

#include "platform/kernel_objects.h"
#include "protocol/record.h"
#include "protocol/names.h"
#include "support/records.h"

#include <cctype>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include <signal.h>
#include <unistd.h>

namespace {

using E2eReceiver = E2eTest;

bool IsFormattedIp(const std::string& ip) {
    if (ip.size() != 15) {
        return false;
    }
    for (size_t i = 0; i < ip.size(); ++i) {
        bool dot = i % 4 == 3;
        if (dot ? ip[i] != '.' : !std::isdigit(static_cast<unsigned char>(ip[i]))) {
            return false;
        }
    }
    return true;
}

// One record on disk: every column, byte for byte.
void ExpectRecord(const SupportRecord& record, int port, int sequence, const std::string& message,
                  time_t before, time_t after) {
    EXPECT_TRUE(IsFormattedIp(record.ip)) << record.ip;
    EXPECT_GE(record.stamp, SupportRecordStamp(before));
    EXPECT_LE(record.stamp, SupportRecordStamp(after));
    char head[64];
    std::snprintf(head, sizeof head, "$%05d%03d", port, sequence);
    EXPECT_EQ(record.mark + record.port + record.counter, head);
    EXPECT_EQ(record.message, SupportPaddedMessage(message));
    EXPECT_EQ(record.lineEnd, "\r\n");
}

TEST_F(E2eReceiver, MessagesAreAcknowledgedAndRecordedByteExact) {
    int port = LoopbackFreePort();
    time_t before = std::time(nullptr);
    pid_t receiver = StartReadyReceiver(port);
    std::string full(512, 'm');
    int connection = LoopbackConnect(port);
    ASSERT_GE(connection, 0);
    EXPECT_EQ(LoopbackSendMessage(connection, "hallo"), PELMOR_ACK_STORED);
    EXPECT_EQ(LoopbackSendMessage(connection, "welt"), PELMOR_ACK_STORED);
    EXPECT_EQ(LoopbackSendMessage(connection, full), PELMOR_ACK_STORED);
    EXPECT_EQ(LoopbackSendMessage(connection, "X"), -1) << "X ends the session without a reply";
    close(connection);
    connection = LoopbackConnect(port);
    ASSERT_GE(connection, 0);
    EXPECT_EQ(LoopbackSendMessage(connection, "neu"), PELMOR_ACK_STORED);
    EXPECT_EQ(LoopbackSendMessage(connection, "X"), -1);
    close(connection);

    // Acknowledged means on disk: read before the receiver ends.
    std::string buffer = SupportReadFile(PathOf("PELMOR.BUF"));
    time_t after = std::time(nullptr);
    ASSERT_EQ(buffer.size(), 4 * static_cast<size_t>(PELMOR_DISK_RECORD_LENGTH));
    std::vector<SupportRecord> records = SupportRecordsOf(buffer);
    ExpectRecord(records[0], port, 1, "hallo", before, after);
    ExpectRecord(records[1], port, 2, "welt", before, after);
    ExpectRecord(records[2], port, 3, full, before, after);
    ExpectRecord(records[3], port, 1, "neu", before, after);

    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.LOG")), "") << "nothing failed";
}

TEST_F(E2eReceiver, SecondCopyEndsAtOnceWithoutLogEntry) {
    int port = LoopbackFreePort();
    pid_t first = StartReadyReceiver(port);
    WriteIni("second.ini",
             {"UPLPORT = " + std::to_string(LoopbackFreePort()), "LOGDATEI = SECOND.LOG",
              "BUFFDATEI = SECOND.BUF", "ERRLEVEL = 1000", "MAXLOGSIZE = 10"});
    pid_t second = StartReceiver({"second.ini"});
    EXPECT_EQ(ReceiverExit(second), 0);
    EXPECT_EQ(access(PathOf("SECOND.LOG").c_str(), F_OK), -1) << "no log started";
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")), "");

    int connection = LoopbackConnect(port);
    EXPECT_EQ(LoopbackSendMessage(connection, "noch da"), PELMOR_ACK_STORED)
        << "the first copy serves on";
    close(connection);
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(first), 0);
}

TEST_F(E2eReceiver, PelmorctlStopEndsTheReceiverWithExitZero) {
    pid_t receiver = StartReadyReceiver(LoopbackFreePort());
    EXPECT_EQ(RunPelmorctl({"status"}).exitCode, 0);
    ToolRun stop = RunPelmorctl({"stop", "--timeout", "5"});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_EQ(stop.out, "Empfaenger beendet.\n");
    EXPECT_EQ(ReceiverExit(receiver, 1000), 0) << "ended when pelmorctl said so";
    EXPECT_EQ(RunPelmorctl({"status"}).exitCode, 3);
}

// systemd's readiness protocol: ready once the start event is set, a status
// line with the records stored, stopping when the stop begins.
TEST_F(E2eReceiver, ServiceManagerIsToldReadyProgressAndStopping) {
    const int manager = E2eListenAsServiceManager(PathOf("notify"));
    ASSERT_GE(manager, 0);
    const int port = LoopbackFreePort();
    pid_t receiver = StartReadyReceiver(port);
    const std::string portText = "STATUS=Port " + std::to_string(port) + ": ";
    EXPECT_EQ(E2eNextNotification(manager, E2E_WAIT_MS),
              "READY=1\n" + portText + "0 Saetze gespeichert");
    int connection = LoopbackConnect(port);
    EXPECT_EQ(LoopbackSendMessage(connection, "eins"), '1');
    EXPECT_EQ(LoopbackSendMessage(connection, "zwei"), '1');
    EXPECT_TRUE(LoopbackEndSession(connection));
    close(connection);
    // Told within a second or two, from a record or the loop's next wake;
    // the first record may fall into a new second and be told alone.
    std::string status = E2eNextNotification(manager, 5000);
    if (status.rfind(portText + "1 Saetze", 0) == 0) {
        status = E2eNextNotification(manager, 5000);
    }
    EXPECT_EQ(status.rfind(portText + "2 Saetze gespeichert, letzter 20", 0), 0) << status;
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(E2eNextNotification(manager, 1000), "STOPPING=1\nSTATUS=Wird beendet");
    EXPECT_EQ(E2eNextNotification(manager, 0), "");
    close(manager);
}

// A hang-up too: the terminal of a receiver started by hand closed.
TEST_F(E2eReceiver, TermIntAndHupEndTheReceiverWithExitZero) {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        pid_t receiver = StartReadyReceiver(LoopbackFreePort());
        kill(receiver, signalNumber);
        EXPECT_EQ(ReceiverExit(receiver, 5000), 0) << "within a few seconds: " << signalNumber;
        EXPECT_EQ(RunPelmorctl({"status"}).exitCode, 3);
    }
}

// A stop lets the session in progress go on: its client is not cut between
// two messages. The bounds are only against a hang.
TEST_F(E2eReceiver, StopLetsTheSessionInProgressFinishWithinItsGrace) {
    int port = LoopbackFreePort();
    WriteStandardIni("pelmor.ini", port, "0"); // reads wait without limit
    pid_t receiver = StartReceiver({"pelmor.ini"});
    ASSERT_EQ(RunPelmorctl({"wait-ready"}).exitCode, 0);
    int connection = LoopbackConnect(port);
    ASSERT_EQ(LoopbackSendMessage(connection, "eins"), PELMOR_ACK_STORED);
    // The signal ends the read waiting for the next message: that message
    // and the ones after it are still stored and acknowledged.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(receiver, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const char* message : {"zwei", "drei", "vier"}) {
        EXPECT_EQ(LoopbackSendMessage(connection, message), PELMOR_ACK_STORED) << message;
    }
    EXPECT_TRUE(LoopbackEndSession(connection));
    EXPECT_EQ(ReceiverExit(receiver), 0);
    close(connection);
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.BUF")).size(),
              4 * static_cast<size_t>(PELMOR_DISK_RECORD_LENGTH));

    // A client that would stream for ever: acknowledged on after the stop,
    // until the grace ends the session between two messages.
    receiver = StartReadyReceiver(port);
    connection = LoopbackConnect(port);
    const auto begun = std::chrono::steady_clock::now();
    size_t acknowledged = 0;
    size_t acknowledgedBeforeStop = 0;
    while (LoopbackSendMessage(connection, "strom") == PELMOR_ACK_STORED) {
        if (++acknowledged == 50) {
            acknowledgedBeforeStop = acknowledged;
            kill(receiver, SIGTERM);
        }
        ASSERT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(E2E_WAIT_MS))
            << "the stream holds the stop up";
    }
    EXPECT_EQ(ReceiverExit(receiver), 0);
    close(connection);
    EXPECT_GT(acknowledged, acknowledgedBeforeStop + 1) << "served on after the stop";
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.BUF")).size(),
              (4 + acknowledged) * static_cast<size_t>(PELMOR_DISK_RECORD_LENGTH))
        << "every acknowledged message stored";
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.LOG")), "") << "a stop is no failed read";
}

TEST_F(E2eReceiver, StopEventResetBeforeStartAcceptsNothingAndIsLeftSignalled) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, PELMOR_STOP_EVENT_NAME);
    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, PELMOR_START_EVENT_NAME);
    ASSERT_NE(stop, nullptr);
    ASSERT_NE(start, nullptr);
    WriteStandardIni("pelmor.ini", LoopbackFreePort());
    pid_t receiver = StartReceiver({"pelmor.ini"});
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(WaitForSingleObject(start, 0), WAIT_OBJECT_0) << "start-up completed";
    EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0) << "left signalled";
    EXPECT_EQ(access(PathOf("PELMOR.BUF").c_str(), F_OK), -1) << "no session";
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.LOG")), "");
    CloseHandle(start);
    CloseHandle(stop);
}

TEST_F(E2eReceiver, KilledReceiverLeavesNothingStale) {
    int port = LoopbackFreePort();
    pid_t receiver = StartReadyReceiver(port);
    kill(receiver, SIGKILL);
    EXPECT_EQ(ReceiverExit(receiver), 128 + SIGKILL);
    EXPECT_EQ(RunPelmorctl({"status"}).exitCode, 3);

    receiver = StartReadyReceiver(port);
    int connection = LoopbackConnect(port);
    EXPECT_EQ(LoopbackSendMessage(connection, "wieder da"), PELMOR_ACK_STORED);
    close(connection);
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
}

TEST_F(E2eReceiver, WithoutBufferFileEveryConnectionIsClosedAndLogged) {
    int port = LoopbackFreePort();
    WriteIni("pelmor.ini", {"UPLPORT = " + std::to_string(port), "LOGDATEI = PELMOR.LOG",
                            "MAXLOGSIZE = 2000", "ERRLEVEL = 1000", "TIMEOUT = 3"});
    pid_t receiver = StartReceiver({"pelmor.ini"});
    ASSERT_EQ(RunPelmorctl({"wait-ready"}).exitCode, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int connection = LoopbackConnect(port);
        ASSERT_GE(connection, 0);
        EXPECT_EQ(LoopbackSendMessage(connection, "verloren"), -1) << "closed without a reply";
        close(connection);
    }
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(E2eCount(SupportReadFile(PathOf("PELMOR.LOG")), "Fehler: Funktion RcvConSession()!"),
              2);
}

TEST_F(E2eReceiver, TimeoutOutOfRangeLeavesZeroSoReadsWaitWithoutLimit) {
    int port = LoopbackFreePort();
    WriteStandardIni("pelmor.ini", port, "1001");
    pid_t receiver = StartReceiver({"pelmor.ini"});
    ASSERT_EQ(RunPelmorctl({"wait-ready"}).exitCode, 0);
    int connection = LoopbackConnect(port);
    // Longer than the table's default of 3 s, which is not applied.
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    EXPECT_EQ(LoopbackSendMessage(connection, "spaet"), PELMOR_ACK_STORED);
    EXPECT_EQ(LoopbackSendMessage(connection, "X"), -1);
    close(connection);
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.LOG")), "");
}

TEST_F(E2eReceiver, UnreadableParameterFileEndsAtOnceWithTheStderrLine) {
    // A start that fails is never reported ready: the manager sees it fail.
    const int manager = E2eListenAsServiceManager(PathOf("notify"));
    ASSERT_GE(manager, 0);
    std::ofstream(PathOf("broken.ini"), std::ios::binary)
        << "KEYINX\r\n[PELMOR]\r\nLOGDATEI = PELMOR.LOG\r\n";
    struct Case {
        std::vector<std::string> words;
        std::string line;
    };
    for (const Case& run : std::vector<Case>{
             {{"broken.ini"},
              "pelmor: Parameterdatei broken.ini nicht gelesen (Fehler -20, Zeile 1)\n"},
             {{"missing", "file.ini"},
              "pelmor: Parameterdatei missing file.ini nicht gelesen (Fehler -2, Zeile 0)\n"},
             {{},
              "pelmor: Parameterdatei D:\\COMM\\NEVTAR.INI nicht gelesen (Fehler -2, Zeile 0)\n"},
         }) {
        pid_t receiver = StartReceiver(run.words);
        EXPECT_EQ(ReceiverExit(receiver), 0);
        EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")), run.line);
        EXPECT_EQ(access(PathOf("PELMOR.LOG").c_str(), F_OK), -1);
        EXPECT_EQ(RunPelmorctl({"status"}).exitCode, 3) << "no mutex left behind";
    }
    EXPECT_EQ(E2eNextNotification(manager, 0), "");
    close(manager);
}

TEST_F(E2eReceiver, LogNotStartedIsSaidOnStderr) {
    WriteIni("pelmor.ini", {"UPLPORT = " + std::to_string(LoopbackFreePort())});
    pid_t receiver = StartReceiver({"pelmor.ini"});
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")), "pelmor: Logdatei \"\" nicht gestartet\n");
}

TEST_F(E2eReceiver, NamedObjectsNotMadeAreSaidOnStderr) {
    // The name of the stop event taken by a mutex.
    HANDLE taken = CreateMutexA(nullptr, FALSE, PELMOR_STOP_EVENT_NAME);
    ASSERT_NE(taken, nullptr);
    WriteStandardIni("pelmor.ini", LoopbackFreePort());
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Ereignis StopPelmorEvent nicht erzeugt (Fehler 6)\n");
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.LOG")), "") << "not logged";
    CloseHandle(taken);

    // A namespace directory that cannot be used.
    std::ofstream(PathOf("not-a-dir")) << "x";
    setenv("PELMOR_RUNTIME_DIR", PathOf("not-a-dir").c_str(), 1);
    EXPECT_EQ(ReceiverExit(StartReceiver({"pelmor.ini"})), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Mutex PELMOR_MTX nicht erzeugt (Fehler 5)\n");
}

TEST_F(E2eReceiver, PortInUseIsLoggedAndEndsWithExitZero) {
    int port = LoopbackFreePort();
    pid_t first = StartReadyReceiver(port);
    // A second receiver in its own namespace, on the same port.
    std::string otherRuntime = PathOf("rt2");
    setenv("PELMOR_RUNTIME_DIR", otherRuntime.c_str(), 1);
    WriteIni("other.ini", {"UPLPORT = " + std::to_string(port), "LOGDATEI = OTHER.LOG",
                           "ERRLEVEL = 1000", "MAXLOGSIZE = 10"});
    const int manager = E2eListenAsServiceManager(PathOf("notify"));
    ASSERT_GE(manager, 0);
    pid_t second = StartReceiver({"other.ini"});
    EXPECT_EQ(ReceiverExit(second), 0);
    EXPECT_EQ(E2eCount(SupportReadFile(PathOf("OTHER.LOG")), "Fehler: Fkt. CSocketServerInit()!"),
              1);
    // Said once on standard error too, for a journal where the log is out of reach.
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Port " + std::to_string(port) +
                  " nicht geoeffnet (Fehler -2): CSocketServerInit: bind Port " +
                  std::to_string(port) + ": Address already in use\n");
    EXPECT_EQ(E2eNextNotification(manager, 0), "") << "never ready";
    close(manager);
    setenv("PELMOR_RUNTIME_DIR", PathOf("rt").c_str(), 1);
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(first), 0);
}

// Receivers on the one socket systemd holds for them (pelmor.socket with
// pelmor.service and pelmor@NAME.service).
TEST_F(E2eReceiver, ReceiversOnOneSharedSocketServeWhileFreeAndNeverShareABufferFile) {
    const int port = E2eMakeSharedListener();
    ASSERT_GT(port, 0);
    beforeReceiver = E2ePassSharedListener;
    // The parameter files name another port: the socket's is the one served.
    const int otherPort = LoopbackFreePort();
    auto start = [&](const std::string& name, const std::string& buffer) {
        setenv("PELMOR_RUNTIME_DIR", PathOf("rt-" + name).c_str(), 1);
        WriteIni(name + ".ini", {"UPLPORT = " + std::to_string(otherPort), "BUFFDATEI = " + buffer,
                                 "LOGDATEI = " + name + ".LOG", "ERRLEVEL = 1000",
                                 "MAXLOGSIZE = 2000", "TIMEOUT = 3"});
        return StartReceiver({name + ".ini"});
    };
    auto control = [&](const std::string& name, const std::vector<std::string>& words) {
        setenv("PELMOR_RUNTIME_DIR", PathOf("rt-" + name).c_str(), 1);
        return RunPelmorctl(words);
    };
    const pid_t first = start("a", "A.BUF");
    ASSERT_EQ(control("a", {"wait-ready", "--timeout", "15"}).exitCode, 0)
        << SupportReadFile(PathOf("pelmor.err")) << SupportReadFile(PathOf("ctl.err"));
    const pid_t second = start("b", "B.BUF");
    ASSERT_EQ(control("b", {"wait-ready", "--timeout", "15"}).exitCode, 0);

    // A third one told to write the first one's file, by its full name.
    EXPECT_EQ(ReceiverExit(start("c", PathOf("A.BUF"))), 0);
    EXPECT_EQ(SupportReadFile(PathOf("pelmor.err")),
              "pelmor: Bufferdatei \"" + PathOf("A.BUF") +
                  "\" schreibt schon ein anderer Empfaenger (" + PathOf(".A.BUF") + ".lock)\n");
    EXPECT_EQ(E2eCount(SupportReadFile(PathOf("c.LOG")),
                       "Fehler: Bufferdatei schreibt schon ein anderer Empfaenger!"),
              1);

    auto sessions = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const int client = LoopbackConnect(port);
            for (int message = 0; message < 5; ++message) {
                EXPECT_EQ(LoopbackSendMessage(client, "m" + std::to_string(i)), PELMOR_ACK_STORED);
            }
            LoopbackEndSession(client);
            close(client);
        }
    };
    // Both wait on the socket: each connection wakes both, one takes it.
    sessions(20);
    // A client that keeps its session open holds one receiver, nobody else.
    const int slow = LoopbackConnect(port);
    EXPECT_EQ(LoopbackSendMessage(slow, "langsam"), PELMOR_ACK_STORED);
    sessions(20);
    EXPECT_EQ(LoopbackSendMessage(slow, "noch da"), PELMOR_ACK_STORED);
    LoopbackEndSession(slow);
    close(slow);

    const std::string firstFile = SupportReadFile(PathOf("A.BUF"));
    const std::string secondFile = SupportReadFile(PathOf("B.BUF"));
    char portColumn[8];
    std::snprintf(portColumn, sizeof portColumn, "%05d", port);
    size_t records = 0;
    for (const std::string* file : {&firstFile, &secondFile}) {
        for (const SupportRecord& record : SupportRecordsOf(*file)) {
            EXPECT_EQ(record.port, portColumn);
            records++;
        }
    }
    EXPECT_EQ(records, static_cast<size_t>(40 * 5 + 2)) << "each message stored once";
    // Connections the other receiver took first are no failure.
    EXPECT_EQ(SupportReadFile(PathOf("a.LOG")) + SupportReadFile(PathOf("b.LOG")), "");

    EXPECT_EQ(control("a", {"stop"}).exitCode, 0);
    EXPECT_EQ(control("b", {"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(first), 0);
    EXPECT_EQ(ReceiverExit(second), 0);
    E2eCloseSharedListener();
}

} // namespace
