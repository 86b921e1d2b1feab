// Console keyboard and sleeping: a test for a waiting key press, the reading
// of one key press without echo and without a line end, Sleep in milliseconds.
//
// Both count key presses alike on every platform: an arrow or function key
// is one key press, and when standard input is not a console (pipe or file)
// each byte is one key press; at end of input KeyPressWaiting reports one
// (and ReadKeyPress returns -1), so nothing waits forever.
//
// Windows: on a console the C runtime's _kbhit and _getch, which see only
// the console and give an arrow or function key as two codes.
// Linux: on a terminal the input is switched to raw, non-echo mode while
// keys are awaited and restored on every exit path.
#ifndef PLATFORM_CONSOLE_H
#define PLATFORM_CONSOLE_H

#include "platform/win32_base.h"

BOOL WINAPI KeyPressWaiting(void);
int WINAPI ReadKeyPress(void);

#if !defined(_WIN32)
void WINAPI Sleep(DWORD milliseconds);
#endif

#endif
