// nevtar.dll on Winsock: its ordinals, the accept wait, the last error with
// the system's numbers, the local address. Reads and writes are tested in
// read_write_test.cpp, as on Linux.
#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

#include "commlib/nevtar.h"
#include "connection.h"

namespace {

template <typename Function> uintptr_t AddressOf(Function* function) {
    uintptr_t address = 0;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&address, &function, sizeof address);
    return address;
}

TEST(NevtarDll, OperationsAreExportedByTheirOrdinalsAndNotByName) {
    const HMODULE dll = GetModuleHandleA("nevtar.dll");
    ASSERT_NE(dll, nullptr);
    const struct {
        WORD ordinal;
        uintptr_t operation;
    } exports[] = {
        {17, AddressOf(&CSocketServerInit)}, {18, AddressOf(&CSocketServerOpen)},
        {19, AddressOf(&CSocketClose)},      {20, AddressOf(&CSocketRead)},
        {22, AddressOf(&CSocketWrite)},      {23, AddressOf(&CGetLastErrorString)},
        {24, AddressOf(&CSocketCleanup)},    {32, AddressOf(&CGetLocalIPString)},
        {34, AddressOf(&CLogInit)},          {35, AddressOf(&CLogWrite)},
    };
    for (const auto& entry : exports) {
        EXPECT_EQ(AddressOf(GetProcAddress(dll, MAKEINTRESOURCEA(entry.ordinal))), entry.operation)
            << "ordinal " << entry.ordinal;
    }
    EXPECT_EQ(GetProcAddress(dll, "CSocketServerInit"), nullptr);
    EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(21)), nullptr);
}

// The connection made before is taken; no second one is waiting.
TEST_F(Connection, WaitWithoutConnectionEndsBenignlyAndLeavesNothingPending) {
    NevtarSocket connection = 0;
    EXPECT_EQ(CSocketServerOpen(listener, &connection, peer, 2), NEVTAR_ERR_NOCONNECTION);
    EXPECT_EQ(connection, -1);
    EXPECT_STREQ(peer, "");
    EXPECT_EQ(CGetLastErrorString(nullptr, nullptr, 0), 0);
}

TEST_F(Connection, AcceptedConnectionCarriesPeerAddressAndNoDelay) {
    EXPECT_STREQ(peer, "127.0.0.1");
    BOOL noDelay = FALSE;
    int length = sizeof noDelay;
    ASSERT_EQ(getsockopt(static_cast<SOCKET>(server), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<char*>(&noDelay), &length),
              0);
    EXPECT_TRUE(noDelay);
}

TEST_F(Connection, PortInUseIsAFailureWithTheWinsockNumber) {
    NevtarSocket second = -1;
    EXPECT_EQ(CSocketServerInit(&second, port, nullptr), NEVTAR_ERR_SYSTEM);
    char text[80];
    int32_t number = 0;
    ASSERT_NE(CGetLastErrorString(&number, text, sizeof text), 0);
    EXPECT_EQ(number, WSAEADDRINUSE);
    EXPECT_NE(std::strstr(text, "bind"), nullptr) << text;
}

TEST_F(Connection, ClosingAnInvalidSocketIsAFailure) {
    EXPECT_EQ(CSocketClose(-1), NEVTAR_ERR_SYSTEM);
    EXPECT_EQ(PendingNumber(), WSAENOTSOCK);
}

TEST(CSocketCleanup, ListeningWorksAgainAfterACleanup) {
    NevtarSocket listener = -1;
    ASSERT_EQ(CSocketServerInit(&listener, 0, nullptr), 0);
    EXPECT_EQ(CSocketClose(listener), 0);
    EXPECT_EQ(CSocketCleanup(), 0);
    EXPECT_EQ(CSocketCleanup(), 0);
    ASSERT_EQ(CSocketServerInit(&listener, 0, nullptr), 0);
    EXPECT_EQ(CSocketClose(listener), 0);
}

TEST(CGetLocalIPString, GivesFourDecimalPartsAndStaysInsideTheBuffer) {
    char text[16];
    ASSERT_EQ(CGetLocalIPString(text, sizeof text), 0);
    unsigned parts[4] = {};
    char rest = 0;
    EXPECT_EQ(std::sscanf(text, "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &rest),
              4)
        << text;
    for (const unsigned part : parts) {
        EXPECT_LE(part, 255u);
    }

    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(CGetLocalIPString(small, 4), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[4], '#');
}

TEST(CGetLastErrorString, SystemTextIsOneLineCutToTheCapacity) {
    EXPECT_EQ(CSocketClose(-1), NEVTAR_ERR_SYSTEM);
    char text[80];
    ASSERT_NE(CGetLastErrorString(nullptr, text, sizeof text), 0);
    EXPECT_EQ(std::strncmp(text, "CSocketClose: ", 14), 0) << text;
    EXPECT_EQ(std::strpbrk(text, "\r\n"), nullptr) << text;

    char cut[10];
    std::memset(cut, '#', sizeof cut);
    ASSERT_NE(CGetLastErrorString(nullptr, cut, 6), 0);
    EXPECT_STREQ(cut, "CSock");
    EXPECT_EQ(cut[6], '#');
}

} // namespace
