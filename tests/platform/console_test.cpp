// Console keys on a terminal: a pseudo-terminal stands in as standard input.
// A key press counts without a line end and is not echoed, an escape
// sequence is one key press, and the terminal settings come back after the
// key is read and when the process ends while it waits.
#include "platform/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

class ConsoleTerminalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        ASSERT_EQ(tcgetattr(terminal, &before), 0);
        savedInput = dup(STDIN_FILENO);
        dup2(terminal, STDIN_FILENO);
    }
    void TearDown() override {
        dup2(savedInput, STDIN_FILENO);
        close(savedInput);
        close(terminal);
        close(master);
    }
    // Polls KeyPressWaiting for at most two seconds.
    bool KeyArrives() {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < until) {
            if (KeyPressWaiting()) {
                return true;
            }
            Sleep(5);
        }
        return false;
    }
    void ExpectSettingsAsBefore() {
        struct termios after;
        ASSERT_EQ(tcgetattr(terminal, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
        EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    }
    int master = -1;
    int terminal = -1;
    int savedInput = -1;
    struct termios before;
};

TEST_F(ConsoleTerminalTest, KeyPressedDuringTheWaitIsNotEchoedAndCountsWithoutLineEnd) {
    ASSERT_TRUE(before.c_lflag & ECHO) << "a fresh terminal echoes";
    EXPECT_EQ(KeyPressWaiting(), 0);
    struct termios waiting;
    ASSERT_EQ(tcgetattr(terminal, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO), 0u) << "raw while the caller waits";
    ASSERT_EQ(write(master, "a", 1), 1);
    struct pollfd echo = {master, POLLIN, 0};
    EXPECT_EQ(poll(&echo, 1, 100), 0) << "the key must not be echoed";
    ASSERT_TRUE(KeyArrives()) << "a key counts without a line end";
    EXPECT_EQ(ReadKeyPress(), 'a');
    ExpectSettingsAsBefore();
}

TEST_F(ConsoleTerminalTest, EscapeSequenceIsOneKeyPress) {
    ASSERT_EQ(write(master, "\x1b[A", 3), 3);
    ASSERT_TRUE(KeyArrives());
    EXPECT_EQ(ReadKeyPress(), 0x1B);
    EXPECT_EQ(KeyPressWaiting(), 0) << "the rest of the arrow key is no further key press";
    ASSERT_EQ(write(master, "b", 1), 1);
    ASSERT_TRUE(KeyArrives());
    EXPECT_EQ(ReadKeyPress(), 'b');
    ExpectSettingsAsBefore();
}

// A child process starts waiting for a key and then ends by the given means;
// the terminal must come back with its former settings.
void EndWhileWaiting(int terminal, void (*end)()) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(5);
        dup2(terminal, STDIN_FILENO);
        KeyPressWaiting();
        end();
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM);
}

TEST_F(ConsoleTerminalTest, SettingsComeBackWhenTheProcessIsEndedDuringTheWait) {
    EndWhileWaiting(terminal, [] { raise(SIGTERM); });
    ExpectSettingsAsBefore();
    EndWhileWaiting(terminal, [] { raise(SIGINT); });
    ExpectSettingsAsBefore();
    EndWhileWaiting(terminal, [] { std::exit(0); });
    ExpectSettingsAsBefore();
}

} // namespace
