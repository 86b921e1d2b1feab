// Bounded reaping of a forked child in the platform tests.
#ifndef TESTS_PLATFORM_REAP_WITHIN_H
#define TESTS_PLATFORM_REAP_WITHIN_H

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

// Exit status of the child within milliseconds, 128 + signal when a signal
// ended it, -1 when it overstayed (it is then killed).
inline int ReapWithin(pid_t child, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 5) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(5000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

#endif
