// Reading and writing on an accepted connection: one receive per read,
// time-out, orderly close, signals, complete sends, a vanished peer.
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "tests/commlib/interrupter.h"
#include "tests/commlib/loopback.h"

namespace {

class Connection : public ::testing::Test {
protected:
    void SetUp() override
    {
        int32_t port = 0;
        ASSERT_EQ(CSocketServerInit(&listener, 0, &port), 0);
        client = LoopbackConnect(port);
        ASSERT_GE(client, 0);
        ASSERT_EQ(CSocketServerOpen(listener, &server, nullptr, 50), 0);
    }

    void TearDown() override
    {
        if (client >= 0) {
            close(client);
        }
        CSocketClose(server);
        CSocketClose(listener);
    }

    int32_t PendingErrno()
    {
        int32_t number = 0;
        char text[80];
        EXPECT_NE(CGetLastErrorString(&number, text, sizeof text), 0);
        return number;
    }

    NevtarSocket listener = -1;
    NevtarSocket server = -1;
    int client = -1;
};

TEST_F(Connection, ReadDeliversWhatArrivedUpToTheCapacity)
{
    ASSERT_TRUE(LoopbackSend(client, "hello"));
    char buffer[16] = {};
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, 15, &count, 5), 0);
    EXPECT_EQ(count, 5);
    EXPECT_STREQ(buffer, "hello");

    ASSERT_TRUE(LoopbackSend(client, "0123456789"));
    char small[4];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(CSocketRead(server, small, 3, &count, 5), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::string(small, 4), "012#");
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

TEST_F(Connection, ReadTimeOutIsAFailureWithPendingError)
{
    char buffer[16];
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 1), NEVTAR_ERR_TIMEOUT);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(PendingErrno(), ETIMEDOUT);
}

TEST_F(Connection, OrderlyCloseByThePeerIsResultZeroWithCountZero)
{
    close(client);
    client = -1;
    char buffer[16];
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 5), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

TEST_F(Connection, SignalDuringAReadIsAFailureWithPendingError)
{
    char buffer[16];
    int32_t count = -1;
    Interrupter interrupter;
    InterrupterStart(&interrupter);
    const int32_t result = CSocketRead(server, buffer, sizeof buffer, &count, 5);
    InterrupterStop(&interrupter);
    EXPECT_EQ(result, NEVTAR_ERR_SYSTEM);
    EXPECT_EQ(PendingErrno(), EINTR);
}

TEST_F(Connection, BadArgumentsAreFailuresNotCrashes)
{
    int32_t count = -1;
    char buffer[4];
    EXPECT_EQ(CSocketRead(server, nullptr, 4, &count, 1), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketRead(server, buffer, 0, &count, 1), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketRead(server, buffer, 4, nullptr, 1), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketWrite(server, nullptr, 1, &count), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketWrite(server, buffer, -1, &count), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(PendingErrno(), EINVAL);
}

TEST_F(Connection, WriteSendsEveryByteOfALargeBuffer)
{
    const std::string data(4 * 1024 * 1024, 'w');
    std::size_t received = 0;
    std::thread reader([this, &received, &data] {
        std::string chunk(65536, '\0');
        while (received < data.size()) {
            const ssize_t part = recv(client, chunk.data(), chunk.size(), 0);
            if (part <= 0) {
                break;
            }
            received += static_cast<std::size_t>(part);
        }
    });
    int32_t count = 0;
    const int32_t result =
        CSocketWrite(server, data.data(), static_cast<int32_t>(data.size()), &count);
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count, static_cast<int32_t>(data.size()));
    EXPECT_EQ(received, data.size());
}

TEST_F(Connection, WriteToAVanishedPeerIsAnErrorAndRaisesNoSigpipe)
{
    std::signal(SIGPIPE, SIG_DFL); // a SIGPIPE would end the test process
    LoopbackReset(client);
    client = -1;
    pollfd entry{server, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1); // the reset has arrived

    int32_t result = 0;
    int32_t count = -1;
    for (int attempt = 0; attempt < 3 && result == 0; ++attempt) {
        result = CSocketWrite(server, "1", 1, &count);
    }
    EXPECT_EQ(result, NEVTAR_ERR_SYSTEM);
    EXPECT_EQ(count, 0);
    const int32_t number = PendingErrno();
    EXPECT_TRUE(number == EPIPE || number == ECONNRESET) << number;
}

TEST(CGetLastErrorString, TextIsCutToTheCapacityAndTerminated)
{
    NevtarSocket socket = -1;
    ASSERT_NE(CSocketServerInit(&socket, 70000, nullptr), 0);
    char text[12];
    std::memset(text, '#', sizeof text);
    int32_t number = 0;
    EXPECT_NE(CGetLastErrorString(&number, text, 8), 0);
    EXPECT_EQ(std::strlen(text), 7u);
    EXPECT_EQ(text[8], '#');
    // Reading it leaves it pending; the next operation clears it.
    EXPECT_NE(CGetLastErrorString(&number, text, 8), 0);
    CSocketCleanup();
    EXPECT_EQ(CGetLastErrorString(&number, text, sizeof text), 0);
    EXPECT_EQ(number, 0);
    EXPECT_STREQ(text, "");
}

} // namespace
