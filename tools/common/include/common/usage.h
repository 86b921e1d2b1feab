// What every tool's command line shares.
#ifndef TOOLS_COMMON_USAGE_H
#define TOOLS_COMMON_USAGE_H

// --version: the program's name and the project's version, one line.
void ToolShowVersion(const char* program);

#endif
