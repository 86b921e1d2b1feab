// Console control handler: the process is asked to stop (Ctrl-C, closing,
// shutdown). Windows spells it SetConsoleCtrlHandler.
//
// Linux: SIGINT arrives as CTRL_C_EVENT, SIGHUP (the terminal closed) as
// CTRL_CLOSE_EVENT, SIGTERM as CTRL_SHUTDOWN_EVENT. The
// handler runs in signal context, so it may call only async-signal-safe
// functions (SetEvent and ResetEvent are). Blocking calls are interrupted
// rather than restarted, so a waiting accept or read returns at once.
// Handlers run newest first until one returns TRUE; when none does, the
// signal's default action ends the process. At most eight handlers; a null
// handler with add TRUE makes the process ignore CTRL_C_EVENT.
#ifndef PLATFORM_CTRL_HANDLER_H
#define PLATFORM_CTRL_HANDLER_H

#include "platform/win32_base.h"

#if !defined(_WIN32)
#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_SHUTDOWN_EVENT 6

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD controlType);

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
#endif

#endif
