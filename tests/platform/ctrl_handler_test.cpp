// Console control handlers on SIGINT and SIGTERM.
#include "platform/ctrl_handler.h"
#include "platform/kernel_objects.h"

#include "support/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<DWORD> seenByFirst;
std::vector<DWORD> seenBySecond;
BOOL secondAnswer = TRUE;
HANDLE eventToReset = nullptr;

BOOL WINAPI FirstHandler(DWORD type) {
    seenByFirst.push_back(type);
    return ResetEvent(eventToReset);
}

BOOL WINAPI SecondHandler(DWORD type) {
    seenBySecond.push_back(type);
    return secondAnswer;
}

BOOL WINAPI DecliningHandler(DWORD) {
    return FALSE;
}

TEST(CtrlHandler, SignalsReachHandlersNewestFirstUntilOneTakesThem) {
    eventToReset = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(eventToReset, nullptr);
    ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, TRUE));

    secondAnswer = TRUE;
    std::raise(SIGINT);
    EXPECT_EQ(seenBySecond, std::vector<DWORD>{CTRL_C_EVENT});
    EXPECT_TRUE(seenByFirst.empty());
    EXPECT_EQ(WaitForSingleObject(eventToReset, 0), WAIT_OBJECT_0);

    secondAnswer = FALSE;
    std::raise(SIGTERM);
    EXPECT_EQ(seenBySecond, (std::vector<DWORD>{CTRL_C_EVENT, CTRL_SHUTDOWN_EVENT}));
    EXPECT_EQ(seenByFirst, std::vector<DWORD>{CTRL_SHUTDOWN_EVENT});
    EXPECT_EQ(WaitForSingleObject(eventToReset, 0), WAIT_TIMEOUT) << "reset in signal context";

    ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(SecondHandler, FALSE)) << "no longer there";
    std::raise(SIGINT);
    EXPECT_EQ(seenBySecond.size(), 2u);
    EXPECT_EQ(seenByFirst.size(), 2u);

    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    std::raise(SIGINT);
    EXPECT_EQ(seenByFirst.size(), 2u) << "Ctrl-C ignored";
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, FALSE));
    ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, FALSE));
    CloseHandle(eventToReset);
}

TEST(CtrlHandler, BlockingReadIsInterruptedNotRestarted) {
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        eventToReset = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        SetConsoleCtrlHandler(FirstHandler, TRUE);
        char byte;
        ssize_t got = read(channel[0], &byte, 1);
        _exit(got < 0 && errno == EINTR && WaitForSingleObject(eventToReset, 0) == WAIT_TIMEOUT
                  ? 0
                  : 1);
    }
    usleep(100000);
    kill(child, SIGTERM);
    EXPECT_EQ(SupportExitWithin(child, 10000), 0);
    close(channel[0]);
    close(channel[1]);
}

TEST(CtrlHandler, UntakenSignalEndsTheProcess) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetConsoleCtrlHandler(DecliningHandler, TRUE);
        std::raise(SIGTERM);
        _exit(0);
    }
    EXPECT_EQ(SupportExitWithin(child, 10000), 128 + SIGTERM);
}

} // namespace
