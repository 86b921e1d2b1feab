// Console keyboard on Linux.
//
// A terminal is switched to raw, non-echo input by KeyPressWaiting and held
// so while a caller waits for a key (sleeping between tests), so that a key
// pressed meanwhile is not echoed; ReadKeyPress reads the key and restores
// the settings.
// They are restored as well when the process exits or is ended by SIGINT,
// SIGTERM, SIGHUP or SIGQUIT during the wait. Input that is not a terminal
// is read byte by byte, each byte one key press.
#include "platform/console.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int CONSOLE_INPUT = STDIN_FILENO;
constexpr unsigned char CONSOLE_ESCAPE = 0x1B;
// How long the rest of an escape sequence (an arrow or function key) may
// lag behind its first byte.
constexpr int CONSOLE_SEQUENCE_WAIT_MS = 20;
constexpr int consoleEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t CONSOLE_END_SIGNALS = sizeof consoleEndSignals / sizeof consoleEndSignals[0];

volatile sig_atomic_t rawHeld;
struct termios settingsBefore;
struct sigaction actionsBefore[CONSOLE_END_SIGNALS];
int exitHookSet;

// Returns the poll result on standard input: >0 readable (or at end, or
// closed), 0 nothing waiting, <0 failure.
int PollInput(int timeoutMs) {
    struct pollfd input = {CONSOLE_INPUT, POLLIN, 0};
    int ready;
    do {
        ready = poll(&input, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

int ReadInputByte() {
    unsigned char byte;
    ssize_t got;
    do {
        got = read(CONSOLE_INPUT, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

// Puts the settings and the signal actions back; async-signal-safe.
void ReleaseRawInput() {
    if (!rawHeld) {
        return;
    }
    rawHeld = 0;
    tcsetattr(CONSOLE_INPUT, TCSANOW, &settingsBefore);
    for (size_t i = 0; i < CONSOLE_END_SIGNALS; ++i) {
        sigaction(consoleEndSignals[i], &actionsBefore[i], nullptr);
    }
}

// Restores the terminal, then lets the signal take its former course.
void ReleaseAndRaise(int signalNumber) {
    ReleaseRawInput();
    raise(signalNumber);
}

void ReleaseAtExit() {
    ReleaseRawInput();
}

// Switches the terminal to raw, non-echo input unless it already is;
// 0 when it cannot be switched.
int HoldRawInput() {
    if (rawHeld) {
        return 1;
    }
    if (tcgetattr(CONSOLE_INPUT, &settingsBefore) != 0) {
        return 0;
    }
    if (!exitHookSet) {
        exitHookSet = std::atexit(ReleaseAtExit) == 0;
    }
    struct sigaction release = {};
    release.sa_handler = ReleaseAndRaise;
    sigemptyset(&release.sa_mask);
    for (size_t i = 0; i < CONSOLE_END_SIGNALS; ++i) {
        sigaction(consoleEndSignals[i], &release, &actionsBefore[i]);
    }
    rawHeld = 1;
    struct termios raw = settingsBefore;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(CONSOLE_INPUT, TCSANOW, &raw) != 0) {
        ReleaseRawInput();
        return 0;
    }
    return 1;
}

// An arrow or function key arrives as ESC and a few more bytes; they make
// one key press, as they do on a console.
void DropEscapeSequence() {
    unsigned char rest[16];
    while (PollInput(CONSOLE_SEQUENCE_WAIT_MS) > 0) {
        if (read(CONSOLE_INPUT, rest, sizeof rest) <= 0) {
            return;
        }
    }
}

} // namespace

BOOL WINAPI KeyPressWaiting(void) {
    if (!isatty(CONSOLE_INPUT) || !HoldRawInput()) {
        // Not a terminal: a byte, the end of input or a failure all count,
        // so a caller waiting for a key never waits forever.
        return PollInput(0) != 0;
    }
    return PollInput(0) > 0;
}

int WINAPI ReadKeyPress(void) {
    if (!isatty(CONSOLE_INPUT) || !HoldRawInput()) {
        return ReadInputByte();
    }
    int key = ReadInputByte();
    if (key == CONSOLE_ESCAPE) {
        DropEscapeSequence();
    }
    ReleaseRawInput();
    return key;
}

void WINAPI Sleep(DWORD milliseconds) {
    struct timespec rest;
    rest.tv_sec = static_cast<time_t>(milliseconds / 1000);
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
