// pelmor-ship against one real nats-server: records carried whole and once
// through hand-offs, the hand-off copy and a torn tail, a restart long after
// the duplicate window, NATS away for a while, the settings.
#include "ship_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <nats/nats.h>
#include <signal.h>

#include "protocol/record.h"
#include "support/records.h"

namespace {

// Creates a stream as an operator would, before the shipper runs.
bool CreateStream(const std::string& urls, int64_t duplicateSeconds) {
    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    jsStreamInfo* info = nullptr;
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char* subjects[] = {"pelmor.records"};
    config.Name = "PELMOR";
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_MemoryStorage;
    config.Duplicates = duplicateSeconds * 1000000000;
    const bool made = natsConnection_ConnectTo(&connection, urls.c_str()) == NATS_OK &&
                      natsConnection_JetStream(&js, connection, nullptr) == NATS_OK &&
                      js_AddStream(&info, js, &config, nullptr, nullptr) == NATS_OK;
    jsStreamInfo_Destroy(info);
    jsCtx_Destroy(js);
    natsConnection_Destroy(connection);
    return made;
}

} // namespace

// A client streams through the receiver in sessions while the shipper takes
// the file over every 16 KB: every acknowledged record is in the stream once,
// with its id and source, and no file is left; a stop is clean.
TEST_F(ShipTest, CarriesEveryAcknowledgedRecordOnceThroughHandOffs) {
    StartNats(0);
    const int port = LoopbackFreePort();
    WriteShipIni(port, {"QUELLE     = hier", "UEBERGABE  = 16"});
    StartReceiver({"pelmor.ini"});
    ASSERT_EQ(RunPelmorctl({"wait-ready", "--timeout", "15"}).exitCode, 0);
    const pid_t shipper = StartShipper();

    std::set<std::string> acknowledged;
    for (int session = 0; session < 4; ++session) {
        const int fd = LoopbackConnect(port);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 150; ++i) {
            const std::string text = "s" + std::to_string(session) + "-" + std::to_string(i);
            if (LoopbackSendMessage(fd, text) == PELMOR_ACK_STORED) {
                acknowledged.insert(text);
            }
        }
        LoopbackEndSession(fd);
        LoopbackReset(fd);
    }
    ASSERT_EQ(acknowledged.size(), 600u);
    ASSERT_TRUE(WaitForStream("PELMOR", acknowledged.size(), E2E_WAIT_MS));
    EXPECT_EQ(Stop(shipper, SIGTERM), 0) << SupportReadFile(PathOf("ship.err"));

    std::vector<StoredRecord> stored;
    ASSERT_TRUE(ReadStream("PELMOR", &stored));
    std::map<std::string, int> copies;
    std::set<std::string> ids;
    for (const StoredRecord& record : stored) {
        ASSERT_EQ(record.payload.size(), 552u);
        const SupportRecord columns = SupportRecordColumns(record.payload);
        EXPECT_EQ(columns.mark + columns.lineEnd, "$\r\n");
        ++copies[SupportRecordMessage(columns)];
        EXPECT_EQ(record.source, "hier");
        EXPECT_EQ(record.id.rfind("hier:", 0), 0u) << record.id;
        ids.insert(record.id);
    }
    EXPECT_EQ(ids.size(), stored.size());
    for (const std::string& text : acknowledged) {
        EXPECT_EQ(copies[text], 1) << text;
    }
    EXPECT_EQ(stored.size(), acknowledged.size());
    EXPECT_TRUE(ShipLeftovers(dir).empty());

    const ToolRun status = RunShipper({"--status", "pelmor.ini"});
    EXPECT_EQ(status.exitCode, 3) << status.err;
    EXPECT_NE(status.out.find("Wartende Saetze:  0\n"), std::string::npos) << status.out;
}

// Files made by hand, read back byte for byte. The receiver writes the record
// that meets a hand-off into both files: it is stored once. A record still
// being written waits until it is whole. Then, long after the stream's
// duplicate window, a shipper whose saved position lags behind what the
// stream holds (a crash after the acknowledgements) stores nothing twice; the
// operator's stream is used as it is.
TEST_F(ShipTest, HandOffCopyTornTailAndRestartBeyondTheWindow) {
    StartNats(0);
    ASSERT_TRUE(CreateStream(NatsUrls(), 1));
    WriteShipIni(LoopbackFreePort(), {"QUELLE     = q"});
    const std::string a = ShipRecord("a", 1), b = ShipRecord("b", 2), r = ShipRecord("r", 3),
                      c = ShipRecord("c", 4), d = ShipRecord("d", 5);
    ShipAppend(PathOf("PELMOR.BUF.0000000001"), a + b + r);
    ShipAppend(PathOf("PELMOR.BUF"), r + c + d.substr(0, 300));
    pid_t shipper = StartShipper();
    ASSERT_TRUE(WaitForStream("PELMOR", 4, E2E_WAIT_MS)) << SupportReadFile(PathOf("ship.err"));
    ShipAppend(PathOf("PELMOR.BUF"), d.substr(300));
    ASSERT_TRUE(WaitForStream("PELMOR", 5, E2E_WAIT_MS));
    EXPECT_EQ(Stop(shipper, SIGTERM), 0);

    std::vector<StoredRecord> stored;
    ASSERT_TRUE(ReadStream("PELMOR", &stored));
    const std::vector<std::string> expected = {a, b, r, c, d};
    ASSERT_EQ(stored.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(stored[i].payload, expected[i]) << i;
    }
    EXPECT_EQ(stored[2].id.substr(stored[2].id.size() - 4), ":1:2");
    EXPECT_EQ(stored[4].id.substr(stored[4].id.size() - 4), ":2:2");
    EXPECT_TRUE(ShipLeftovers(dir).empty());

    // The position back at the start of the live file, as if the shipper
    // died before it saved it; the window long past.
    ShipEditState(PathOf("PELMOR.BUF.versand"),
                  {{"position", "0"}, {"dirty", "1"}, {"floor", "0"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::string e = ShipRecord("e", 6);
    ShipAppend(PathOf("PELMOR.BUF"), e);
    shipper = StartShipper();
    ASSERT_TRUE(WaitForStream("PELMOR", 6, E2E_WAIT_MS));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Stop(shipper, SIGTERM), 0);
    ASSERT_TRUE(ReadStream("PELMOR", &stored));
    ASSERT_EQ(stored.size(), 6u) << SupportReadFile(PathOf("ship.err"));
    EXPECT_EQ(stored[5].payload, e);
    EXPECT_NE(SupportReadFile(PathOf("ship.err")).find("5 Saetze dieser Quelle schon darin"),
              std::string::npos);

    EXPECT_EQ(StreamSettings("PELMOR"), "memory 1 1"); // the operator's, as it was
}

// NATS not there at the start: the records stay, --status shows them and the
// error, the log has one line for the outage however many tries; once the
// server runs, everything is carried (into a stream the shipper creates),
// and the file is taken over at half the receiver's MAXBUFSIZE, long
// before the default UEBERGABE.
TEST_F(ShipTest, OutageKeepsTheRecordsAndOneLineSaysSo) {
    ReserveNats(1);
    WriteShipIni(LoopbackFreePort(), {"QUELLE     = weg"}, {"MAXBUFSIZE = 16"});
    std::string all;
    for (int i = 0; i < 40; ++i) {
        all += ShipRecord("n" + std::to_string(i), i + 1);
    }
    ShipAppend(PathOf("PELMOR.BUF"), all);
    const pid_t shipper = StartShipper();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500)); // several tries

    const ToolRun status = RunShipper({"--status", "--json", "pelmor.ini"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_NE(status.out.find("\"records_waiting\": 40, \"bytes_waiting\": 22080"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("\"last_error\": \"NATS nicht erreichbar"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("\"last_error_past\": false"), std::string::npos) << status.out;
    EXPECT_EQ(E2eCount(SupportReadFile(PathOf("ship.err")), "Fehler:"), 1)
        << SupportReadFile(PathOf("ship.err"));
    // pelmorctl metrics shows the same outage, from the running shipper.
    ToolRun metrics = RunPelmorctl({"metrics", "--ini", "pelmor.ini"});
    EXPECT_NE(metrics.out.find("\npelmor_ship_connected{receiver=\"pelmor\"} 0\n"),
              std::string::npos)
        << metrics.out;
    EXPECT_NE(metrics.out.find("\npelmor_ship_backlog_records{receiver=\"pelmor\"} 40\n"),
              std::string::npos)
        << metrics.out;
    const std::string outage = "\npelmor_ship_outage_seconds{receiver=\"pelmor\"} ";
    const std::size_t at = metrics.out.find(outage);
    ASSERT_NE(at, std::string::npos) << metrics.out;
    const long seconds = std::atol(metrics.out.c_str() + at + outage.size());
    EXPECT_GE(seconds, 2) << metrics.out;
    EXPECT_LE(seconds, 60) << metrics.out;

    StartNats(0);
    ASSERT_TRUE(WaitForStream("PELMOR", 40, 30000)) << SupportReadFile(PathOf("ship.err"));
    // Written at most once a second: asked until the figures have come.
    const std::string shipped = "\npelmor_ship_records_shipped_total{receiver=\"pelmor\"} 40\n";
    for (int tries = 0; tries < 100 && metrics.out.find(shipped) == std::string::npos; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        metrics = RunPelmorctl({"metrics", "--ini", "pelmor.ini"});
    }
    for (const std::string& line :
         {shipped, std::string("\npelmor_ship_connected{receiver=\"pelmor\"} 1\n"),
          std::string("\npelmor_ship_outage_seconds{receiver=\"pelmor\"} 0\n"),
          std::string("\npelmor_ship_up{receiver=\"pelmor\"} 1\n")}) {
        EXPECT_NE(metrics.out.find(line), std::string::npos) << line << metrics.out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Stop(shipper, SIGTERM), 0);
    const std::string log = SupportReadFile(PathOf("ship.err"));
    EXPECT_EQ(E2eCount(log, "Fehler:"), 1) << log;
    EXPECT_EQ(E2eCount(log, "wieder in Ordnung"), 1) << log;
    // The error stays shown, as past: records were stored after it.
    const ToolRun after = RunShipper({"--status", "--json", "pelmor.ini"});
    EXPECT_NE(after.out.find("\"last_error_past\": true"), std::string::npos) << after.out;
    const ToolRun text = RunShipper({"--status", "pelmor.ini"});
    EXPECT_NE(text.out.find(") (behoben)\n"), std::string::npos) << text.out;
    EXPECT_EQ(StreamCount("PELMOR"), 40u);
    EXPECT_TRUE(ShipLeftovers(dir).empty());
    EXPECT_EQ(SupportReadFile(PathOf("PELMOR.BUF")), ""); // taken over and removed
}

// Group VERSAND: pelmorctl check shows it, a bad value stops the shipper
// with a clear word and is no business of the receiver's.
TEST_F(ShipTest, SettingsOfGroupVersand) {
    ReserveNats(1);
    WriteShipIni(LoopbackFreePort(), {"REPLIKATE  = 9", "QUELLE     = a:b"});
    const ToolRun check = RunPelmorctl({"check", "pelmor.ini"});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_NE(check.out.find("REPLIKATE    UNGUELTIG: \"9\" (erlaubt: Wert 1 bis 5)"),
              std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("QUELLE       UNGUELTIG: \"a:b\""), std::string::npos);
    EXPECT_NE(check.out.find("STREAM       nicht in der Datei; Vorgabe \"PELMOR\""),
              std::string::npos);
    const ToolRun run = RunShipper({"pelmor.ini"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("QUELLE = \"a:b\" in Gruppe VERSAND ist ungueltig"), std::string::npos)
        << run.err;
    EXPECT_EQ(RunShipper({}).exitCode, 2);
    EXPECT_EQ(RunShipper({"--version"}).out, "pelmor-ship " PELMOR_VERSION "\n");
}
