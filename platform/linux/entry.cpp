// main() for programs written against WinMain.
#include "platform/process_entry.h"

#include <csignal>
#include <string>

namespace {

void EntryIgnoreSignal(int signalNumber) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(signalNumber, &ignore, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    EntryIgnoreSignal(SIGPIPE);
    EntryIgnoreSignal(SIGXFSZ);
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            commandLine += ' ';
        }
        commandLine += argv[i];
    }
    return WinMain(nullptr, nullptr, commandLine.data(), SW_SHOWDEFAULT);
}
