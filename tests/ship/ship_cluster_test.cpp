// End to end: a client streams through the receiver into a three-node NATS
// cluster on loopback (a stream of three replicas) while the shipper is
// killed with SIGKILL again and again and one node is killed and later
// started again. Afterwards every acknowledged record is in the stream
// exactly once, and no buffer file is left.
#include "ship_support.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <signal.h>

#include "support/records.h"

namespace {

void Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace

TEST_F(ShipTest, ClusterKeepsEveryRecordOnceThroughKillsAndANodeDown) {
    for (int node = 0; node < 3; ++node) {
        StartNats(node, 3);
    }
    const int port = LoopbackFreePort();
    WriteShipIni(port, {"QUELLE     = cluster", "REPLIKATE  = 3", "UEBERGABE  = 32"});
    StartReceiver({"pelmor.ini"});
    ASSERT_EQ(RunPelmorctl({"wait-ready", "--timeout", "15"}).exitCode, 0);
    pid_t shipper = StartShipper();

    // The client: sessions of 100 messages, each text unique, until told to stop.
    std::mutex lock;
    std::set<std::string> acknowledged;
    std::atomic<bool> streaming{true};
    int sent = 0;
    std::thread client([&] {
        for (int session = 0; streaming; ++session) {
            const int fd = LoopbackConnect(port);
            for (int i = 0; fd >= 0 && i < 100; ++i) {
                const std::string text = "k" + std::to_string(session) + "-" + std::to_string(i);
                ++sent;
                if (LoopbackSendMessage(fd, text) == PELMOR_ACK_STORED) {
                    std::lock_guard<std::mutex> guard(lock);
                    acknowledged.insert(text);
                }
                Pause(1);
            }
            if (fd >= 0) {
                LoopbackEndSession(fd);
                LoopbackReset(fd);
            }
        }
    });

    // Kill the shipper at whatever it is doing, three times, each time once
    // it has carried more; a node goes down in between and comes back later.
    const int pauses[] = {150, 0, 370};
    for (int round = 0; round < 3; ++round) {
        const uint64_t before = StreamCount("PELMOR");
        EXPECT_TRUE(WaitForStream("PELMOR", before + 300, 30000));
        Pause(pauses[round]);
        EXPECT_EQ(Stop(shipper, SIGKILL), 128 + SIGKILL);
        if (round == 0) {
            Stop(natsPids[1], SIGKILL);
            natsPids[1] = -1;
        }
        if (round == 2) {
            StartNats(1, 3);
        }
        shipper = StartShipper();
    }
    Pause(1500);
    streaming = false;
    client.join();

    size_t expected = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        expected = acknowledged.size();
    }
    ASSERT_GT(expected, 1000u);
    EXPECT_TRUE(WaitForStream("PELMOR", expected, 60000)) << SupportReadFile(PathOf("ship.err"));
    Pause(500);
    EXPECT_EQ(Stop(shipper, SIGTERM), 0);

    std::vector<StoredRecord> stored;
    ASSERT_TRUE(ReadStream("PELMOR", &stored));
    std::map<std::string, int> copies;
    for (const StoredRecord& record : stored) {
        ASSERT_EQ(record.payload.size(), 552u);
        const SupportRecord columns = SupportRecordColumns(record.payload);
        ASSERT_EQ(columns.mark + columns.lineEnd, "$\r\n");
        ++copies[SupportRecordMessage(columns)];
    }
    int missing = 0;
    for (const std::string& text : acknowledged) {
        missing += copies.count(text) == 0;
    }
    int twice = 0;
    for (const auto& [text, count] : copies) {
        twice += count > 1;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_LE(stored.size(), static_cast<size_t>(sent)); // nothing that was never sent
    EXPECT_TRUE(ShipLeftovers(dir).empty());
    EXPECT_EQ(StreamSettings("PELMOR"), "file 3 600"); // as the shipper made it
    const ToolRun status = RunShipper({"--status", "pelmor.ini"});
    EXPECT_NE(status.out.find("Wartende Saetze:  0\n"), std::string::npos) << status.out;
    RecordProperty("acknowledged", static_cast<int>(expected));
}
