// Console keyboard on Linux. A terminal is switched to raw, non-echo input
// only for the span of one call and restored before the call returns, so an
// interrupted program never leaves the terminal raw for long. Input that is
// not a terminal is read byte by byte, each byte one key press.
#include "platform/console.h"

#include <cerrno>
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

int EnterRawInput(struct termios* saved) {
    if (tcgetattr(CONSOLE_INPUT, saved) != 0) {
        return 0;
    }
    struct termios raw = *saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(CONSOLE_INPUT, TCSANOW, &raw) == 0;
}

void LeaveRawInput(const struct termios* saved) {
    tcsetattr(CONSOLE_INPUT, TCSANOW, saved);
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

int _kbhit(void) {
    struct termios saved;
    if (!isatty(CONSOLE_INPUT) || !EnterRawInput(&saved)) {
        // Not a terminal: a byte, the end of input or a failure all count,
        // so a caller waiting for a key never waits forever.
        return PollInput(0) != 0;
    }
    int waiting = PollInput(0) > 0;
    LeaveRawInput(&saved);
    return waiting;
}

int _getch(void) {
    struct termios saved;
    if (!isatty(CONSOLE_INPUT) || !EnterRawInput(&saved)) {
        return ReadInputByte();
    }
    int key = ReadInputByte();
    if (key == CONSOLE_ESCAPE) {
        DropEscapeSequence();
    }
    LeaveRawInput(&saved);
    return key;
}

void WINAPI Sleep(DWORD milliseconds) {
    struct timespec rest;
    rest.tv_sec = static_cast<time_t>(milliseconds / 1000);
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
