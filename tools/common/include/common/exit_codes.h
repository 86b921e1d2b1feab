// The exit codes every tool gives, so that scripts read them alike.
#ifndef TOOLS_COMMON_EXIT_CODES_H
#define TOOLS_COMMON_EXIT_CODES_H

constexpr int TOOL_EXIT_OK = 0;
constexpr int TOOL_EXIT_FAILED = 1;      // the work failed or found problems
constexpr int TOOL_EXIT_USAGE = 2;       // a wrong command line or an unreadable input
constexpr int TOOL_EXIT_NOT_RUNNING = 3; // status: the program asked about does not run

#endif
