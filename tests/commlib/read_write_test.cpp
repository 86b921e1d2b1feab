// Reading and writing on an accepted connection: one receive per read,
// time-out, orderly close, signals, complete sends, a vanished peer.
#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "commlib/nevtar.h"
#include "interrupter.h"
#include "support/loopback.h"

namespace {

// Ends a read that waits longer than it should: at the limit the socket's
// receiving side is shut, so the read returns (result 0, count 0) and the
// test fails instead of hanging.
class ReadDeadline {
  public:
    ReadDeadline(int fd, std::chrono::milliseconds limit) {
        thread_ = std::thread([fd, limit, stop = stop_.get_future()] {
            if (stop.wait_for(limit) == std::future_status::timeout) {
                shutdown(fd, SHUT_RD);
            }
        });
    }
    ~ReadDeadline() {
        stop_.set_value();
        thread_.join();
    }

  private:
    std::promise<void> stop_;
    std::thread thread_;
};

class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CSocketServerInit(&listener, 0, &port), 0);
        client = LoopbackConnect(port);
        ASSERT_GE(client, 0);
        ASSERT_EQ(CSocketServerOpen(listener, &server, nullptr, 50), 0);
    }

    void TearDown() override {
        if (client >= 0) {
            close(client);
        }
        CSocketClose(server);
        CSocketClose(listener);
    }

    int32_t PendingErrno() {
        int32_t number = 0;
        char text[80];
        EXPECT_NE(CGetLastErrorString(&number, text, sizeof text), 0);
        return number;
    }

    NevtarSocket listener = -1;
    NevtarSocket server = -1;
    int32_t port = 0;
    int client = -1;
};

TEST_F(Connection, ReadDeliversWhatArrivedUpToTheCapacity) {
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

TEST_F(Connection, ReadTimeOutIsAFailureWithPendingError) {
    char buffer[16];
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 1), NEVTAR_ERR_TIMEOUT);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(PendingErrno(), ETIMEDOUT);
}

TEST_F(Connection, OrderlyCloseByThePeerIsResultZeroWithCountZero) {
    close(client);
    client = -1;
    char buffer[16];
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 5), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

// The time-out lives on the socket: each read must still wait as long as it
// asks, after another time-out was set, and on a new connection that got a
// closed one's number.
TEST_F(Connection, EveryReadWaitsAsLongAsItAsks) {
    char buffer[16];
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 1), NEVTAR_ERR_TIMEOUT);

    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        LoopbackSend(client, "spaet");
    });
    {
        ReadDeadline deadline(server, std::chrono::seconds(5));
        EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 0), 0);
        EXPECT_EQ(count, 5);
    }
    late.join();
    {
        ReadDeadline deadline(server, std::chrono::seconds(5));
        EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 1), NEVTAR_ERR_TIMEOUT);
    }

    const NevtarSocket closed = server;
    ASSERT_EQ(CSocketClose(server), 0);
    close(client);
    client = LoopbackConnect(port);
    ASSERT_EQ(CSocketServerOpen(listener, &server, nullptr, 50), 0);
    ASSERT_EQ(server, closed); // the lowest free number: the one just closed
    ReadDeadline deadline(server, std::chrono::seconds(5));
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 1), NEVTAR_ERR_TIMEOUT);
}

struct InterruptCase {
    int handlerFlags;
    int32_t timeout;
};

class InterruptedRead : public Connection, public ::testing::WithParamInterface<InterruptCase> {};

// A signal ends a waiting read whether its handler asks for restarted calls
// or not, with a time-out and without one.
TEST_P(InterruptedRead, IsAFailureWithPendingError) {
    char buffer[16];
    int32_t count = -1;
    ReadDeadline deadline(server, std::chrono::seconds(3));
    Interrupter interrupter;
    InterrupterStart(&interrupter, GetParam().handlerFlags);
    const int32_t result = CSocketRead(server, buffer, sizeof buffer, &count, GetParam().timeout);
    InterrupterStop(&interrupter);
    EXPECT_EQ(result, NEVTAR_ERR_SYSTEM);
    EXPECT_EQ(PendingErrno(), EINTR);
}

INSTANTIATE_TEST_SUITE_P(Handlers, InterruptedRead,
                         ::testing::Values(InterruptCase{0, 5}, InterruptCase{0, 0},
                                           InterruptCase{SA_RESTART, 5},
                                           InterruptCase{SA_RESTART, 0}));

TEST_F(Connection, BadArgumentsAreFailuresNotCrashes) {
    int32_t count = -1;
    char buffer[4];
    EXPECT_EQ(CSocketRead(server, nullptr, 4, &count, 1), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketRead(server, buffer, 0, &count, 1), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketRead(server, buffer, 4, nullptr, 1), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketWrite(server, nullptr, 1, &count), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(CSocketWrite(server, buffer, -1, &count), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(PendingErrno(), EINVAL);
}

TEST_F(Connection, WriteSendsEveryByteOfALargeBuffer) {
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

TEST_F(Connection, WriteToAVanishedPeerIsAnErrorAndRaisesNoSigpipe) {
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

TEST(CGetLastErrorString, TextIsCutToTheCapacityAndTerminated) {
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
