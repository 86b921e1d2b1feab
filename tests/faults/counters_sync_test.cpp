// What operators see and rely on: the live counters after every way a session
// can end, read as pelmorctl status --json and straight from the shared
// memory; and SYNC = TRUE, which answers "1" only for a record on disk.
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <regex>
#include <string>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/kernel_objects.h"
#include "protocol/counters.h"
#include "fault_support.h"
#include "protocol/names.h"

namespace {

using OperatorView = FaultTest;

// The text of a key's value in pelmorctl's one-line JSON object, "" when absent.
std::string JsonValue(const std::string& json, const std::string& key) {
    const std::string marker = "\"" + key + "\": ";
    const std::size_t at = json.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t from = at + marker.size();
    return json.substr(from, json.find_first_of(",}", from) - from);
}

const std::regex ISO_LOCAL_TIME(R"("\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[+-]\d{2}:\d{2}")");

// Sessions that end by "X", by a refused record, by the client closing, by
// the read time-out and by a stop; every one is counted once, and the
// session in progress shows its peer.
TEST_F(OperatorView, CountersAfterEveryWayASessionEnds) {
    Start(3 * PELMOR_DISK_RECORD_LENGTH + 100); // the fourth record does not fit
    Session(0, 3);
    std::size_t bytes = 1; // the "X"
    for (int i = 0; i < 3; ++i) {
        bytes += FaultMessage(i).size();
    }
    int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(3)), PELMOR_ACK_FAILED);
    close(fd);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(receiver, RLIMIT_FSIZE, &unlimited, nullptr), 0);
    fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(4)), PELMOR_ACK_STORED);
    close(fd); // the client goes
    fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "let go after the time-out";
    close(fd);
    const int inProgress = LoopbackConnect(port);
    ASSERT_GE(inProgress, 0);
    EXPECT_EQ(LoopbackSendMessage(inProgress, FaultMessage(5)), PELMOR_ACK_STORED);
    for (int i = 3; i < 6; ++i) {
        bytes += FaultMessage(i).size();
    }

    setenv("TZ", "XYZ-5:30", 1); // pelmorctl's local time is 5 h 30 min ahead of UTC
    const ToolRun status = RunPelmorctl({"status", "--json"});
    unsetenv("TZ");
    EXPECT_EQ(status.exitCode, 0) << status.err;
    const std::string& json = status.out;
    EXPECT_EQ(json.find('\n'), json.size() - 1) << "one line: " << json;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"running", "true"},
        {"pid", std::to_string(receiver)},
        {"connections", "5"},
        {"ended_x", "1"},
        {"ended_failure", "1"},
        {"ended_peer", "1"},
        {"read_timeouts", "1"},
        {"ended_stop", "0"},
        {"records_stored", "5"},
        {"records_failed", "1"},
        {"bytes_received", std::to_string(bytes)},
        {"peer", "\"127.0.0.1\""},
        {"reopenings", "0"}};
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(JsonValue(json, key), value) << key << " in " << json;
    }
    for (const char* key : {"started", "last_record"}) {
        const std::string time = JsonValue(json, key);
        EXPECT_TRUE(std::regex_match(time, ISO_LOCAL_TIME)) << key << " in " << json;
        EXPECT_EQ(time.substr(20), "+05:30\"") << key;
    }

    // Held by this process, the counters outlive the receiver: the session
    // in progress ends by the stop.
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, PELMOR_COUNTERS_NAME);
    ASSERT_NE(mapping, nullptr);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(PelmorCounters));
    ASSERT_NE(view, nullptr);
    const auto* counters = static_cast<const PelmorCounters*>(view);
    kill(receiver, SIGTERM);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    close(inProgress);
    EXPECT_EQ(counters->sessionsEnded[PELMOR_END_STOP], 1u);
    EXPECT_EQ(counters->peer[0], '\0');
    uint64_t ended = 0;
    for (uint64_t count : counters->sessionsEnded) {
        ended += count;
    }
    EXPECT_EQ(ended, counters->connections);
    EXPECT_EQ(FaultRecords(Buffer()).size(), 5u);

    const ToolRun stopped = RunPelmorctl({"status", "--json"});
    EXPECT_EQ(stopped.exitCode, 3);
    EXPECT_EQ(stopped.out, "{\"running\": false}\n");

    // The next receiver starts from 0, even in the object still held here.
    Start();
    EXPECT_EQ(counters->processId, static_cast<uint32_t>(receiver));
    EXPECT_EQ(counters->connections, 0u);
    EXPECT_EQ(counters->sessionsEnded[PELMOR_END_STOP], 0u);
    EXPECT_EQ(counters->lastRecord, 0);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

// In a receiver's process before it starts: every fdatasync fails with EIO,
// as on a disk that cannot write what the system holds.
void OperatorFailDataSync() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        _exit(125);
    }
}

// SYNC = TRUE: records are acknowledged and whole; when the disk does not
// confirm a record the client gets "2" and the log the "(fsync)" entry.
TEST_F(OperatorView, SyncAnswersOneOnlyForARecordOnDisk) {
    std::ofstream(PathOf("pelmor.ini"), std::ios::app | std::ios::binary) << "SYNC = TRUE\r\n";
    Start();
    Session(0, 20);
    std::vector<std::string> records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 20u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i], FaultMessage(static_cast<int>(i)));
    }
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);

    beforeReceiver = OperatorFailDataSync;
    Start();
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(LoopbackSendMessage(fd, FaultMessage(20)), PELMOR_ACK_FAILED);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1) << "the session ends after \"2\"";
    close(fd);
    Settle();
    EXPECT_EQ(E2eCount(Log(), "Fehler: Satz in Pelmor-Bufferdatei schreiben (fsync)!"), 1) << Log();
    // The system took the record whole; only its place on the disk is unsure.
    records = FaultRecords(Buffer());
    ASSERT_EQ(records.size(), 21u);
    EXPECT_EQ(records.back(), FaultMessage(20));
}

} // namespace
