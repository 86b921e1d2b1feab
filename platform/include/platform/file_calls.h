// File calls on the parameter file: open by path, read, seek relative to the
// current position, close. Windows spells them _lopen/_hread/_llseek/_lclose.
//
// Linux: _hread reads ahead into a buffer of the layer's own, so reading one
// byte per call costs no system call per byte; _llseek moves inside that
// buffer when it can. A read at end of file delivers 0 bytes and leaves the
// position where it was.
#ifndef PLATFORM_FILE_CALLS_H
#define PLATFORM_FILE_CALLS_H

#include "platform/win32_base.h"

#if !defined(_WIN32)
typedef int HFILE;
#define HFILE_ERROR ((HFILE)-1)
#define OF_READ 0
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

HFILE WINAPI _lopen(LPCSTR path, int mode);
HFILE WINAPI _lclose(HFILE file);
LONG WINAPI _hread(HFILE file, LPVOID buffer, LONG bytes);
LONG WINAPI _llseek(HFILE file, LONG offset, int origin);
#endif

#endif
