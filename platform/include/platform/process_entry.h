// The program's entry as the platform calls it: WinMain with the text of the
// command line that follows the program name. Its result is the exit code.
//
// Linux: main() in the library pelmor_entry ignores SIGPIPE and SIGXFSZ (a
// vanished peer or a file size limit becomes a failed call, not the end of
// the process), joins the words after the program name with single blanks
// and returns what WinMain returns.
#ifndef PLATFORM_PROCESS_ENTRY_H
#define PLATFORM_PROCESS_ENTRY_H

#include "platform/win32_base.h"

#if !defined(_WIN32)
#define SW_SHOWDEFAULT 10

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                   int showState);
#endif

#endif
