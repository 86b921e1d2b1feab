// The named objects' files under a running receiver: changed by their own
// user (a counters' size that lies, files cut to nothing) they kill neither
// the receiver nor pelmorctl; and a cleaner of old files in the temporary
// folder leaves them alone while the receiver runs.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fault_support.h"
#include "protocol/counters.h"
#include "protocol/names.h"
#include "support/process.h"

namespace {

using ObjectFaults = FaultTest;

// Where the size of a file mapping's memory lies in its file.
constexpr off_t OBJECT_SIZE_FIELD = 8;

TEST_F(ObjectFaults, ObjectFilesThatLieOrAreCutKillNeitherReceiverNorPelmorctl) {
    Start();
    Session(0, 1);
    const std::string counters = PathOf(std::string("rt/") + PELMOR_COUNTERS_NAME);
    const int fd = open(counters.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::atomic<bool> reading{true};
    std::thread changer([fd, &reading] {
        const uint32_t sizes[2] = {0x7FFFFFFF, sizeof(PelmorCounters)};
        for (int i = 0; reading; ++i) {
            pwrite(fd, &sizes[i % 2], sizeof sizes[0], OBJECT_SIZE_FIELD);
        }
    });
    for (int i = 0; i < 8; ++i) {
        const ToolRun status = RunPelmorctl({"status"});
        EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
    }
    reading = false;
    changer.join();
    const uint32_t lie = 0x7FFFFFFF;
    ASSERT_EQ(pwrite(fd, &lie, sizeof lie, OBJECT_SIZE_FIELD), static_cast<ssize_t>(sizeof lie));
    close(fd);
    const ToolRun stop = RunPelmorctl({"stop", "--timeout", "5"});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_EQ(ReceiverExit(receiver), 0) << "its view unmapped by the length it mapped";

    // Cut under the running receiver: it stores and counts on, and stops in
    // order on SIGTERM.
    Start();
    for (const char* name : {PELMOR_COUNTERS_NAME, PELMOR_STOP_EVENT_NAME}) {
        ASSERT_EQ(truncate(PathOf(std::string("rt/") + name).c_str(), 0), 0) << name;
    }
    Session(1, 2);
    const ToolRun status = RunPelmorctl({"status"});
    EXPECT_LT(status.exitCode, 128) << status.err;
    kill(receiver, SIGTERM);
    EXPECT_EQ(ReceiverExit(receiver), 0);
    EXPECT_EQ(FaultRecords(Buffer()).size(), 3u);
}

// systemd-tmpfiles ages out what is older than its age under a folder it
// cleans, as it does in /tmp; the objects of a running receiver stay, so
// pelmorctl (and a second copy) still find it.
TEST_F(ObjectFaults, CleanerOfOldFilesLeavesTheObjectsOfARunningReceiver) {
    const char* cleaner = "/usr/bin/systemd-tmpfiles";
    if (access(cleaner, X_OK) != 0) {
        GTEST_SKIP() << "no systemd-tmpfiles";
    }
    ASSERT_EQ(mkdir(PathOf("tmp").c_str(), 0755), 0);
    setenv("PELMOR_RUNTIME_DIR", PathOf("tmp/pelmor").c_str(), 1);
    Start();
    std::ofstream(PathOf("tmp/old")) << "x";
    std::ofstream(PathOf("aging.conf")) << "e " << PathOf("tmp") << " - - - 1s\n";
    sleep(2);
    const pid_t clean = SupportStart(cleaner, {"--clean", PathOf("aging.conf")}, dir,
                                     PathOf("clean.out"), PathOf("clean.err"));
    ASSERT_EQ(SupportExitWithin(clean, E2E_WAIT_MS), 0) << SupportReadFile(PathOf("clean.err"));
    EXPECT_NE(access(PathOf("tmp/old").c_str(), F_OK), 0) << "the cleaner ran";

    for (const char* name : {PELMOR_MUTEX_NAME, PELMOR_STOP_EVENT_NAME, PELMOR_START_EVENT_NAME,
                             PELMOR_COUNTERS_NAME}) {
        EXPECT_EQ(access(PathOf(std::string("tmp/pelmor/") + name).c_str(), F_OK), 0) << name;
    }
    EXPECT_EQ(RunPelmorctl({"status"}).exitCode, 0);
    EXPECT_EQ(RunPelmorctl({"stop", "--timeout", "5"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
}

} // namespace
