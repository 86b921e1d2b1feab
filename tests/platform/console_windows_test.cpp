// Console keys on Windows: key events written into the console's input queue
// stand in for a person at the keyboard. The C runtime gives an arrow or
// function key as two codes; each must count as one key press. Standard
// input must be a console (the test runs on a terminal).
#include "platform/console.h"

#include <gtest/gtest.h>

namespace {

struct ConsoleKey {
    WORD virtualKey;
    WORD scanCode;
    char character;
    DWORD state;
};

// Wine's C runtime gives these as 0xE0 and a code; it drops function keys
// (on Windows 0x00 and a code).
constexpr ConsoleKey KEY_UP = {VK_UP, 0x48, 0, ENHANCED_KEY};
constexpr ConsoleKey KEY_HOME = {VK_HOME, 0x47, 0, ENHANCED_KEY};
constexpr ConsoleKey KEY_A = {'A', 0x1E, 'a', 0};

void Press(HANDLE input, const ConsoleKey& key) {
    INPUT_RECORD events[2] = {};
    for (int i = 0; i < 2; ++i) {
        KEY_EVENT_RECORD& event = events[i].Event.KeyEvent;
        events[i].EventType = KEY_EVENT;
        event.bKeyDown = i == 0;
        event.wRepeatCount = 1;
        event.wVirtualKeyCode = key.virtualKey;
        event.wVirtualScanCode = key.scanCode;
        event.uChar.AsciiChar = key.character;
        event.dwControlKeyState = key.state;
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputA(input, events, 2, &written));
    ASSERT_EQ(written, 2u);
}

TEST(ConsoleKeys, ArrowAndFunctionKeysAreOneKeyPressEach) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    ASSERT_TRUE(GetConsoleMode(input, &mode)) << "standard input is not a console";
    ASSERT_TRUE(FlushConsoleInputBuffer(input));
    Press(input, KEY_UP);
    Press(input, KEY_HOME);
    Press(input, KEY_A);
    // Every read only after a key is reported, so a fault cannot block the test.
    const int expected[] = {0xE0, 0xE0, 'a'};
    for (int key : expected) {
        ASSERT_TRUE(KeyPressWaiting());
        EXPECT_EQ(ReadKeyPress(), key) << "the keys' second codes are no key presses";
    }
    EXPECT_FALSE(KeyPressWaiting());
}

} // namespace
