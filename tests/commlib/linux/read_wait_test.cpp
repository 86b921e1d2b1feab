// Reads on Linux: each waits as long as it asks, a signal ends it, bad
// arguments fail with EINVAL, and the pending error's text is cut to fit.
#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "connection.h"
#include "interrupter.h"

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
    EXPECT_EQ(PendingNumber(), EINTR);
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
    EXPECT_EQ(PendingNumber(), EINVAL);
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
