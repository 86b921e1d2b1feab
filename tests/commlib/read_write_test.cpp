// Reading and writing on an accepted connection, the same on both systems:
// one receive per read, time-out, orderly close, complete sends, a vanished
// peer.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "connection.h"

namespace {

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
    EXPECT_EQ(PendingNumber(), SOCKET_SYSTEM_TIMED_OUT);
}

TEST_F(Connection, OrderlyCloseByThePeerIsResultZeroWithCountZero) {
    SocketSystemClose(client);
    client = -1;
    char buffer[16];
    int32_t count = -1;
    EXPECT_EQ(CSocketRead(server, buffer, sizeof buffer, &count, 5), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

TEST_F(Connection, WriteSendsEveryByteOfALargeBuffer) {
    const std::string data(4 * 1024 * 1024, 'w');
    std::size_t received = 0;
    std::thread reader([this, &received, &data] {
        std::string chunk(65536, '\0');
        while (received < data.size()) {
            const long part =
                SocketSystemReceive(client, chunk.data(), static_cast<int>(chunk.size()));
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

TEST_F(Connection, WriteToAVanishedPeerIsAFailureAndRaisesNoSignal) {
    SocketSystemPipeSignalKills();
    LoopbackReset(client);
    client = -1;
    int32_t result = 0;
    int32_t count = -1;
    // Until the reset has arrived a write may still pass.
    for (int attempt = 0; attempt < 50 && result == 0; ++attempt) {
        result = CSocketWrite(server, "1", 1, &count);
        if (result == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_EQ(result, NEVTAR_ERR_SYSTEM);
    EXPECT_EQ(count, 0);
    const int32_t number = PendingNumber();
    EXPECT_TRUE(SocketSystemIsReset(number)) << number;
}

} // namespace
