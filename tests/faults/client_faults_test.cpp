// Clients that misbehave: silent, flooding, vanishing, resetting, and a long
// run of empty connections. The receiver keeps serving the next client and
// holds no more descriptors or memory afterwards.
#include <chrono>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fault_support.h"

namespace {

class ClientFaults : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
        Start();
    }

    // A well-behaved client after the misbehaving ones is served, and its
    // record is the last one.
    void ExpectServed(const std::string& message) {
        const int fd = LoopbackConnect(port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(LoopbackSendMessage(fd, message), PELMOR_ACK_STORED);
        LoopbackEndSession(fd);
        EXPECT_EQ(LoopbackReceiveByte(fd), -1);
        close(fd);
        EXPECT_TRUE(Running());
        const std::vector<std::string> records = FaultRecords(Buffer());
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back(), message);
    }
};

TEST_F(ClientFaults, SilentClientIsDroppedAfterTheTimeOutAndTheNextIsServed) {
    const int silent = LoopbackConnect(port);
    ASSERT_GE(silent, 0);
    const auto start = std::chrono::steady_clock::now();
    ExpectServed("naechster");
    EXPECT_LE(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(FAULT_TIMEOUT_SECONDS + 3));
    EXPECT_EQ(LoopbackReceiveByte(silent), -1) << "the silent client was not dropped";
    close(silent);
    EXPECT_EQ(E2eCount(Log(), "Fehler: CSocketRead!"), 1) << Log();
}

// 100 KB in one go: each read becomes a record and gets its "1"; together
// the records hold every byte in order.
TEST_F(ClientFaults, FloodWithoutWaitingIsRecordedWholeAndInOrder) {
    std::string flood;
    for (int i = 0; flood.size() < 100 * 1024; ++i) {
        flood += "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
    }
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(LoopbackSend(fd, flood));
    shutdown(fd, SHUT_WR);
    std::string acknowledgements;
    for (int byte = LoopbackReceiveByte(fd); byte >= 0; byte = LoopbackReceiveByte(fd)) {
        acknowledgements += static_cast<char>(byte);
    }
    close(fd);

    ExpectServed("danach");
    std::vector<std::string> records = FaultRecords(Buffer());
    records.pop_back();
    EXPECT_EQ(acknowledgements, std::string(records.size(), PELMOR_ACK_STORED));
    std::string recorded;
    for (const std::string& record : records) {
        recorded += record;
    }
    EXPECT_EQ(recorded, flood);
}

TEST_F(ClientFaults, ClientsThatVanishBeforeTheirAcknowledgement) {
    for (int i = 0; i < 20; ++i) {
        const int fd = LoopbackConnect(port);
        ASSERT_GE(fd, 0);
        LoopbackSend(fd, "weg-" + std::to_string(i));
        close(fd);
    }
    ExpectServed("geblieben");
}

TEST_F(ClientFaults, ResetInTheMiddleOfAMessage) {
    for (int i = 0; i < 20; ++i) {
        const int fd = LoopbackConnect(port);
        ASSERT_GE(fd, 0);
        if (i % 2 == 1) {
            ASSERT_EQ(LoopbackSendMessage(fd, "vorher"), PELMOR_ACK_STORED);
        }
        LoopbackSend(fd, std::string(300, 'r'));
        LoopbackReset(fd);
    }
    ExpectServed("nach dem Abbruch");
}

// Without a free descriptor the receiver cannot take a waiting connection:
// it keeps running without spinning on it and serves the client once there
// are descriptors again.
TEST_F(ClientFaults, NoFreeDescriptorToAcceptWaitsForOne) {
    rlimit limit{};
    ASSERT_EQ(prlimit(receiver, RLIMIT_NOFILE, nullptr, &limit), 0);
    rlimit tight = limit;
    tight.rlim_cur = static_cast<rlim_t>(FaultLowestFreeDescriptor(receiver));
    ASSERT_EQ(prlimit(receiver, RLIMIT_NOFILE, &tight, nullptr), 0);
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(LoopbackSend(fd, "wartet"));
    const long ticksBefore = FaultCpuTicks(receiver);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_LT(FaultCpuTicks(receiver) - ticksBefore, sysconf(_SC_CLK_TCK) / 2) << "spinning";
    char early = 0;
    EXPECT_EQ(recv(fd, &early, 1, MSG_DONTWAIT), -1) << "served without a free descriptor";
    EXPECT_TRUE(Running());

    ASSERT_EQ(prlimit(receiver, RLIMIT_NOFILE, &limit, nullptr), 0);
    EXPECT_EQ(LoopbackReceiveByte(fd), PELMOR_ACK_STORED) << Log();
    LoopbackEndSession(fd);
    close(fd);
    ExpectServed("wieder frei");
}

TEST_F(ClientFaults, TwoThousandEmptyConnectionsLeaveNoDescriptorsOrMemoryBehind) {
    // Each client closes its side and waits for the receiver's close, so the
    // run measures the receiver and not the listen queue.
    auto connectAndClose = [this](int times) {
        for (int i = 0; i < times; ++i) {
            const int fd = LoopbackConnect(port);
            ASSERT_GE(fd, 0);
            shutdown(fd, SHUT_WR);
            ASSERT_EQ(LoopbackReceiveByte(fd), -1) << "connection " << i;
            close(fd);
        }
        ExpectServed("gezaehlt");
    };
    connectAndClose(100); // the first sessions allocate what every later one reuses
    const int descriptorsBefore = FaultOpenDescriptors(receiver);
    const long residentBefore = FaultResidentKilobytes(receiver);
    connectAndClose(2000);
    EXPECT_EQ(FaultOpenDescriptors(receiver), descriptorsBefore);
#if !defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer freed memory is held back on purpose.
    EXPECT_LE(FaultResidentKilobytes(receiver), residentBefore + 64);
#else
    (void)residentBefore;
#endif
}

} // namespace
