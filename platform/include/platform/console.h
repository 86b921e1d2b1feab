// Console keyboard and sleeping: a test for a waiting key press, the reading
// of one key press without echo and without a line end, Sleep in milliseconds.
//
// Linux: on a terminal the input is switched to raw, non-echo mode while
// keys are awaited and restored on every exit path. When standard input is
// not a terminal (pipe or file) each byte is one key press, and at end of
// input _kbhit reports a key (and _getch returns -1), so nothing waits forever.
#ifndef PLATFORM_CONSOLE_H
#define PLATFORM_CONSOLE_H

#include "platform/win32_base.h"

#if defined(_WIN32)
#include <conio.h>
#else
int _kbhit(void);
int _getch(void);
void WINAPI Sleep(DWORD milliseconds);
#endif

#endif
