// pelmorctl metrics as operators use it: the text of every receiver on the
// host, checked by promtool and served by a real prometheus-node-exporter
// from its textfile folder, after known traffic; the example alert rules
// checked by promtool.
#include "e2e_support.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/loopback.h"

namespace {

// The name a label value and its figure stand for on one line of the text.
std::string MetricsLine(const std::string& name, const std::string& labels,
                        const std::string& value) {
    return "\n" + name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

class MetricsEnd : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        hadXdg = xdg != nullptr;
        oldXdg = hadXdg ? xdg : "";
        ASSERT_EQ(mkdir(PathOf("xdg").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(PathOf("textfile").c_str(), 0755), 0);
        setenv("XDG_RUNTIME_DIR", PathOf("xdg").c_str(), 1);
    }
    void TearDown() override {
        if (exporter > 0) {
            kill(exporter, SIGTERM);
            SupportExitWithin(exporter, E2E_WAIT_MS);
        }
        if (hadXdg) {
            setenv("XDG_RUNTIME_DIR", oldXdg.c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        E2eTest::TearDown();
    }

    // A receiver with its named objects in the folder of that name below XDG_RUNTIME_DIR.
    pid_t StartNamed(const std::string& folder, const std::string& ini) {
        setenv("PELMOR_RUNTIME_DIR", PathOf("xdg/" + folder).c_str(), 1);
        const pid_t receiver = StartReceiver({ini});
        EXPECT_EQ(RunPelmorctl({"wait-ready", "--timeout", "15"}).exitCode, 0)
            << SupportReadFile(PathOf("pelmor.err"));
        return receiver;
    }

    // A program run to its end; its exit code and standard output.
    ToolRun Run(const std::vector<std::string>& words) {
        const pid_t child =
            SupportStart("/usr/bin/env", words, dir, PathOf("run.out"), PathOf("run.err"));
        const int exitCode = SupportExitWithin(child, E2E_WAIT_MS);
        return {exitCode, SupportReadFile(PathOf("run.out")), SupportReadFile(PathOf("run.err"))};
    }

    // The node exporter's /metrics, "" when it does not answer in time.
    std::string Scrape(int port) {
        for (int tries = 0; tries < E2E_WAIT_MS / 50; ++tries) {
            const int fd = LoopbackConnect(port);
            if (fd >= 0) {
                std::string answer;
                LoopbackSend(fd, "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
                for (int byte = LoopbackReceiveByte(fd); byte >= 0;
                     byte = LoopbackReceiveByte(fd)) {
                    answer += static_cast<char>(byte);
                }
                close(fd);
                return answer;
            }
            usleep(50000);
        }
        return "";
    }

    bool hadXdg = false;
    std::string oldXdg;
    pid_t exporter = -1;
};

TEST_F(MetricsEnd, NodeExporterServesTheCountersOfEveryReceiverAfterKnownTraffic) {
    // "pelmor": three records fit below MAXBUFSIZE (2 KB), the fourth is
    // refused; a client that sends nothing ends by the time-out.
    const int port = LoopbackFreePort();
    WriteIni("pelmor.ini", {"UPLPORT    = " + std::to_string(port), "BUFFDATEI  = PELMOR.BUF",
                            "LOGDATEI   = PELMOR.LOG", "MAXLOGSIZE = 2000", "ERRLEVEL   = 1000",
                            "TIMEOUT    = 1", "MAXBUFSIZE = 2", "[VERSAND]", "STREAM     = T"});
    // "damaged": runs, but its counters object no longer holds their layout.
    WriteIni("damaged.ini", {"UPLPORT    = " + std::to_string(LoopbackFreePort()),
                             "BUFFDATEI  = DAMAGED.BUF", "LOGDATEI   = DAMAGED.LOG",
                             "MAXLOGSIZE = 2000", "ERRLEVEL   = 1000", "TIMEOUT    = 1"});
    const pid_t receiver = StartNamed("pelmor", "pelmor.ini");
    const pid_t damaged = StartNamed("pelmor-damaged", "damaged.ini");
    // "stopped": its folder is left, no receiver runs.
    ASSERT_EQ(mkdir(PathOf("xdg/pelmor-stopped").c_str(), 0700), 0);

    int fd = LoopbackConnect(port);
    for (const char* message : {"eins", "zwei", "drei"}) {
        EXPECT_EQ(LoopbackSendMessage(fd, message), '1') << message;
    }
    EXPECT_TRUE(LoopbackEndSession(fd));
    close(fd);
    fd = LoopbackConnect(port);
    EXPECT_EQ(LoopbackSendMessage(fd, "vier"), '2');
    close(fd);
    fd = LoopbackConnect(port);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "closed after TIMEOUT";
    close(fd);

    // The garbage goes over the magic, behind the platform's header of 64 bytes.
    const int counters = open(PathOf("xdg/pelmor-damaged/PelmorCounters").c_str(), O_WRONLY);
    ASSERT_GE(counters, 0);
    ASSERT_EQ(pwrite(counters, "\xde\xad\xbe\xef", 4, 64), 4);
    close(counters);

    // The receiver counts a session once it has ended it: wait for the last.
    const std::string timedOut =
        MetricsLine("pelmor_sessions_ended_total", "receiver=\"pelmor\",reason=\"timeout\"", "1");
    ToolRun metrics{};
    for (int tries = 0; tries < E2E_WAIT_MS / 50; ++tries) {
        metrics = RunPelmorctl({"metrics", "--all", "--ini", "pelmor.ini"});
        if (metrics.out.find(timedOut) != std::string::npos) {
            break;
        }
        usleep(50000);
    }
    ASSERT_EQ(metrics.exitCode, 0) << metrics.err;
    EXPECT_NE(metrics.out.find(timedOut), std::string::npos) << metrics.out;
    const std::string lastRecord = "\npelmor_last_record_timestamp_seconds{receiver=\"pelmor\"} ";
    const std::size_t at = metrics.out.find(lastRecord);
    ASSERT_NE(at, std::string::npos) << metrics.out;
    const long long stamp = std::atoll(metrics.out.c_str() + at + lastRecord.size());
    EXPECT_LT(std::llabs(static_cast<long long>(std::time(nullptr)) - stamp), 300) << stamp;

    // As pelmor-metrics.service does: a whole file renamed into place.
    {
        std::FILE* file = std::fopen(PathOf("textfile/.pelmor.prom.tmp").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(metrics.out.c_str(), file);
        std::fclose(file);
    }
    ASSERT_EQ(std::rename(PathOf("textfile/.pelmor.prom.tmp").c_str(),
                          PathOf("textfile/pelmor.prom").c_str()),
              0);
    ToolRun check =
        Run({"sh", "-c",
             std::string(PELMOR_PROMTOOL) + " check metrics <" + PathOf("textfile/pelmor.prom")});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err << metrics.out;
    ToolRun rules = Run({PELMOR_PROMTOOL, "check", "rules", PELMOR_RULES});
    EXPECT_EQ(rules.exitCode, 0) << rules.out << rules.err;
    EXPECT_NE(rules.out.find("SUCCESS: 5 rules found"), std::string::npos) << rules.out;

    const int exporterPort = LoopbackFreePort();
    exporter = SupportStart(PELMOR_NODE_EXPORTER,
                            {"--web.listen-address=127.0.0.1:" + std::to_string(exporterPort),
                             "--collector.disable-defaults", "--collector.textfile",
                             "--collector.textfile.directory=" + PathOf("textfile")},
                            dir, PathOf("exporter.out"), PathOf("exporter.err"));
    ASSERT_GT(exporter, 0);
    const std::string scrape = Scrape(exporterPort);
    ASSERT_NE(scrape.find("HTTP/1.0 200"), std::string::npos)
        << scrape << SupportReadFile(PathOf("exporter.err"));
    // The exporter orders the labels by name.
    for (const std::string& line : {
             MetricsLine("node_textfile_scrape_error", "", "0"),
             MetricsLine("pelmor_up", "receiver=\"pelmor\"", "1"),
             MetricsLine("pelmor_ready", "receiver=\"pelmor\"", "1"),
             MetricsLine("pelmor_up", "receiver=\"damaged\"", "0"),
             MetricsLine("pelmor_ready", "receiver=\"damaged\"", "0"),
             MetricsLine("pelmor_up", "receiver=\"stopped\"", "0"),
             MetricsLine("pelmor_connections_total", "receiver=\"pelmor\"", "3"),
             MetricsLine("pelmor_sessions_ended_total", "reason=\"x\",receiver=\"pelmor\"", "1"),
             MetricsLine("pelmor_sessions_ended_total", "reason=\"failure\",receiver=\"pelmor\"",
                         "1"),
             MetricsLine("pelmor_sessions_ended_total", "reason=\"timeout\",receiver=\"pelmor\"",
                         "1"),
             MetricsLine("pelmor_sessions_ended_total", "reason=\"peer\",receiver=\"pelmor\"", "0"),
             MetricsLine("pelmor_records_stored_total", "receiver=\"pelmor\"", "3"),
             MetricsLine("pelmor_records_refused_total", "receiver=\"pelmor\"", "1"),
             MetricsLine("pelmor_received_bytes_total", "receiver=\"pelmor\"", "17"),
             MetricsLine("pelmor_buffer_file_size_bytes", "receiver=\"pelmor\"", "1656"),
             MetricsLine("pelmor_buffer_file_limit_bytes", "receiver=\"pelmor\"", "2048"),
             MetricsLine("pelmor_ship_up", "receiver=\"pelmor\"", "0"),
             MetricsLine("pelmor_ship_backlog_records", "receiver=\"pelmor\"", "3"),
             MetricsLine("pelmor_ship_backlog_bytes", "receiver=\"pelmor\"", "1656"),
         }) {
        EXPECT_NE(scrape.find(line), std::string::npos) << line << scrape;
    }
    // Those that are down show no counters at all, not zeros.
    EXPECT_EQ(scrape.find("pelmor_connections_total{receiver=\"damaged\""), std::string::npos);
    EXPECT_EQ(scrape.find("pelmor_connections_total{receiver=\"stopped\""), std::string::npos);

    // The damaged object did not disturb its receiver, nor the other's stop.
    setenv("PELMOR_RUNTIME_DIR", PathOf("xdg/pelmor-damaged").c_str(), 1);
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(damaged), 0);
    setenv("PELMOR_RUNTIME_DIR", PathOf("xdg/pelmor").c_str(), 1);
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    // Stopped, and its folder gone as systemd removes it: the parameter
    // file still names the receiver, which shows as down.
    SupportRemoveFolder(PathOf("xdg/pelmor"));
    ToolRun after = RunPelmorctl({"metrics", "--all", "--ini", "pelmor.ini"});
    EXPECT_EQ(after.exitCode, 0);
    for (const std::string& line :
         {MetricsLine("pelmor_up", "receiver=\"pelmor\"", "0"),
          MetricsLine("pelmor_up", "receiver=\"damaged\"", "0"),
          MetricsLine("pelmor_buffer_file_size_bytes", "receiver=\"pelmor\"", "1656")}) {
        EXPECT_NE(after.out.find(line), std::string::npos) << line << after.out;
    }
    EXPECT_EQ(
        Run({"sh", "-c", std::string(PELMOR_PROMTOOL) + " check metrics <" + PathOf("ctl.out")})
            .exitCode,
        0);
}

} // namespace
