// Child processes of the Linux tests: started with their output in files,
// and reaped within a bound.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <string>
#include <vector>

#include <sys/types.h>

// Starts program with words after its name in folder, stdin from /dev/null,
// stdout and stderr into the files named; inChild, when given, runs in the
// child just before the program. The child's id, or -1.
pid_t SupportStart(const char* program, const std::vector<std::string>& words,
                   const std::string& folder, const std::string& outFile,
                   const std::string& errFile, void (*inChild)() = nullptr);

// Exit code of a child within milliseconds, 128 + signal when a signal ended
// it, -1 when it overstayed (it is then killed) or is no child.
int SupportExitWithin(pid_t child, int milliseconds);

#endif
