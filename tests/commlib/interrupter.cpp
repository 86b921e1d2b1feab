#include "interrupter.h"

#include <chrono>
#include <csignal>

namespace {

void InterrupterHandler(int) {}

} // namespace

void InterrupterStart(Interrupter* interrupter, int handlerFlags) {
    struct sigaction action {};
    action.sa_handler = InterrupterHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = handlerFlags;
    sigaction(SIGUSR1, &action, nullptr);
    const pthread_t target = pthread_self();
    interrupter->done = false;
    interrupter->thread = std::thread([interrupter, target] {
        while (!interrupter->done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!interrupter->done) {
                pthread_kill(target, SIGUSR1);
            }
        }
    });
}

void InterrupterStop(Interrupter* interrupter) {
    interrupter->done = true;
    interrupter->thread.join();
}
