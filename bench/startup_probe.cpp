// Time from process start to the start event being set: starts the given
// receiver command RUNS times, polls "StartPelmorEvent" until it is
// signalled, then ends the receiver with SIGTERM. Prints median and maximum.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/kernel_objects.h"

namespace {

using ProbeClock = std::chrono::steady_clock;
constexpr auto PROBE_LIMIT = std::chrono::seconds(10);
constexpr DWORD PROBE_WAIT_MS = 10000;

// Milliseconds until the start event is set, or a negative value.
double ProbeOnce(char** command)
{
    const ProbeClock::time_point start = ProbeClock::now();
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        execv(command[0], command);
        _exit(127);
    }
    // Until the event exists, look every half millisecond (a tighter loop
    // would take the processor from the starting receiver); then wait on it.
    double elapsed = -1;
    while (ProbeClock::now() - start < PROBE_LIMIT) {
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, "StartPelmorEvent");
        if (event != nullptr) {
            const bool ready = WaitForSingleObject(event, PROBE_WAIT_MS) == WAIT_OBJECT_0;
            // Our handle must not outlive the receiver: the next start would
            // find the event alive and still set.
            CloseHandle(event);
            if (ready) {
                elapsed = std::chrono::duration<double, std::milli>(ProbeClock::now() - start)
                              .count();
            }
            break;
        }
        usleep(500);
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || std::atoi(argv[1]) < 1) {
        std::fputs("Aufruf: bench_startup RUNS PROGRAMM [ARGUMENTE...]\n"
                   "Startet PROGRAMM RUNS-mal und misst die Zeit bis StartPelmorEvent gesetzt "
                   "ist.\n",
                   stderr);
        return 2;
    }
    std::vector<double> times;
    for (int run = 0; run < std::atoi(argv[1]); ++run) {
        const double ms = ProbeOnce(argv + 2);
        if (ms < 0) {
            std::fputs("bench_startup: Startereignis nicht gesetzt\n", stderr);
            return 1;
        }
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("Start bis bereit: Median %.2f ms, Maximum %.2f ms (%zu Starts)\n",
                times[times.size() / 2], times.back(), times.size());
    return 0;
}
