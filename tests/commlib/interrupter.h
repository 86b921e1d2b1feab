// Interrupts a blocking call of the calling thread with SIGUSR1, delivered
// through a handler installed with handlerFlags: 0 (no SA_RESTART) as the
// receiver's stop handler is, or SA_RESTART as other programs' may be. The
// signal repeats until the interrupter is stopped, so it cannot fall before
// the call has begun.
#ifndef TESTS_COMMLIB_INTERRUPTER_H
#define TESTS_COMMLIB_INTERRUPTER_H

#include <atomic>
#include <pthread.h>
#include <thread>

struct Interrupter {
    std::atomic<bool> done{false};
    std::thread thread;
};

void InterrupterStart(Interrupter* interrupter, int handlerFlags = 0);
void InterrupterStop(Interrupter* interrupter);

#endif
