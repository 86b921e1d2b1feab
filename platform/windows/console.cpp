// Console keyboard on Windows.
//
// A console is read with the C runtime's _kbhit and _getch; _getch gives an
// arrow or function key as two codes (0 or 0xE0, then the key's code), which
// are read here as one key press. Input that is not a console (a pipe, a
// file, none at all) is read byte by byte with ReadFile, which _kbhit would
// never report.
#include "platform/console.h"

#include <conio.h>

namespace {

constexpr int CONSOLE_EXTENDED_KEY = 0x00;
constexpr int CONSOLE_EXTENDED_KEY_E0 = 0xE0;

HANDLE ConsoleInput() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool InputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(ConsoleInput(), &mode) != 0;
}

} // namespace

BOOL WINAPI KeyPressWaiting(void) {
    if (InputIsConsole()) {
        return _kbhit() != 0;
    }
    HANDLE input = ConsoleInput();
    if (GetFileType(input) != FILE_TYPE_PIPE) {
        // A file or a device gives a byte or its end at once.
        return TRUE;
    }
    // A pipe: a byte waits, or the writer is gone (the peek fails).
    DWORD waiting = 0;
    return !PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr) || waiting > 0;
}

int WINAPI ReadKeyPress(void) {
    if (!InputIsConsole()) {
        unsigned char byte = 0;
        DWORD got = 0;
        return ReadFile(ConsoleInput(), &byte, 1, &got, nullptr) && got == 1 ? byte : -1;
    }
    int key = _getch();
    if (key == CONSOLE_EXTENDED_KEY || key == CONSOLE_EXTENDED_KEY_E0) {
        _getch();
    }
    return key;
}
