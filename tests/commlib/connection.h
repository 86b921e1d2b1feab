// An accepted connection and its loopback client, on either system. The
// system's own socket calls and error numbers come from socket_system.h,
// which the build takes from linux/ or windows/.
#ifndef TESTS_COMMLIB_CONNECTION_H
#define TESTS_COMMLIB_CONNECTION_H

#include <gtest/gtest.h>

#include "commlib/nevtar.h"
#include "socket_system.h"
#include "support/loopback.h"

class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CSocketServerInit(&listener, 0, &port), 0);
        client = LoopbackConnect(port);
        ASSERT_GE(client, 0);
        ASSERT_EQ(CSocketServerOpen(listener, &server, peer, 50), 0);
    }

    void TearDown() override {
        if (client >= 0) {
            SocketSystemClose(client);
        }
        CSocketClose(server);
        CSocketClose(listener);
    }

    // The number of the pending error; a failure when none is pending.
    int32_t PendingNumber() {
        int32_t number = 0;
        char text[80];
        EXPECT_NE(CGetLastErrorString(&number, text, sizeof text), 0);
        return number;
    }

    NevtarSocket listener = -1;
    NevtarSocket server = -1;
    int32_t port = 0;
    int client = -1;
    char peer[16] = "#";
};

#endif
