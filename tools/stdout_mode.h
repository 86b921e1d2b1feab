// Standard output for bytes: Windows translates every line feed written in
// text mode to CR LF, which would change message bytes in records --csv and
// the line ends they are framed by. Linux has no text mode.
#ifndef TOOLS_STDOUT_MODE_H
#define TOOLS_STDOUT_MODE_H

// Puts standard output in binary mode; call before anything is written.
void StdoutBinaryMode();

#endif
