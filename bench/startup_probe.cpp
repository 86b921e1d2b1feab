// Time from exec of the receiver to its start event being set: the probe
// creates "StartPelmorEvent" (reset) itself and sleeps on it, so the clock
// stops when the receiver's SetEvent wakes it, not at the next look of a
// polling loop. The child notes the time right before execv in a page shared
// with the probe. RUNS starts; prints median and maximum; each receiver is
// ended with SIGTERM.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <csignal>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/kernel_objects.h"
#include "protocol/names.h"

namespace {

using ProbeClock = std::chrono::steady_clock;
constexpr DWORD PROBE_WAIT_MS = 10000;

// Milliseconds from exec to the start event, or a negative value.
double ProbeOnce(char** command, ProbeClock::time_point* execTime) {
    // Ours until the receiver opens it too (CreateEventA then keeps its
    // state); the object goes with the last handle, so every start begins
    // with a fresh, reset event.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, PELMOR_START_EVENT_NAME);
    if (event == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (event != nullptr) {
            CloseHandle(event);
        }
        return -1;
    }
    const pid_t child = fork();
    if (child < 0) {
        CloseHandle(event);
        return -1;
    }
    if (child == 0) {
        *execTime = ProbeClock::now();
        execv(command[0], command);
        _exit(127);
    }
    const bool ready = WaitForSingleObject(event, PROBE_WAIT_MS) == WAIT_OBJECT_0;
    const ProbeClock::time_point setTime = ProbeClock::now();
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    CloseHandle(event);
    return ready ? std::chrono::duration<double, std::milli>(setTime - *execTime).count() : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::atoi(argv[1]) < 1) {
        std::fputs("Aufruf: bench_startup RUNS PROGRAMM [ARGUMENTE...]\n"
                   "Startet PROGRAMM RUNS-mal und misst die Zeit von exec bis StartPelmorEvent "
                   "gesetzt ist.\n",
                   stderr);
        return 2;
    }
    void* shared = mmap(nullptr, sizeof(ProbeClock::time_point), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        std::fputs("bench_startup: kein gemeinsamer Speicher\n", stderr);
        return 1;
    }
    auto* execTime = static_cast<ProbeClock::time_point*>(shared);
    std::vector<double> times;
    for (int run = 0; run < std::atoi(argv[1]); ++run) {
        const double ms = ProbeOnce(argv + 2, execTime);
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
