// Running the real pelmor and pelmorctl in a private directory and talking to
// the receiver over loopback. Every wait is bounded.
#ifndef TESTS_E2E_E2E_SUPPORT_H
#define TESTS_E2E_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/types.h>

#include "support/files.h"
#include "support/loopback.h"
#include "support/process.h"

constexpr int E2E_WAIT_MS = 15000; // generous: the sanitizer build is slow

// A temp directory that is both the working directory of the programs and
// their namespace directory (PELMOR_RUNTIME_DIR), removed afterwards.
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string PathOf(const std::string& name) const { return dir + "/" + name; }
    // Writes a parameter file: the KEYINI header, section PELMOR and the key
    // lines given, all with CR LF.
    void WriteIni(const std::string& name, const std::vector<std::string>& keyLines) const;
    // The file with every key, buffer and log as PELMOR.BUF and PELMOR.LOG.
    void WriteStandardIni(const std::string& name, int port,
                          const std::string& timeout = "3") const;

    // Starts pelmor with the given words after the program name; stderr goes to pelmor.err.
    pid_t StartReceiver(const std::vector<std::string>& words);
    // Starts pelmor on a standard parameter file and waits until it is ready.
    pid_t StartReadyReceiver(int port);

    struct ToolRun {
        int exitCode;
        std::string out;
        std::string err;
    };
    ToolRun RunPelmorctl(const std::vector<std::string>& words);
    // Exit code of a started receiver, as SupportExitWithin; it no longer needs cleaning up.
    int ReceiverExit(pid_t receiver, int milliseconds = E2E_WAIT_MS);

    std::string dir;
    std::vector<pid_t> started;         // not yet reaped, so their ids cannot have been reused
    void (*beforeReceiver)() = nullptr; // runs in a receiver's process before it starts
};

// A Unix datagram socket bound at path and named by NOTIFY_SOCKET for the
// programs started afterwards, as a service manager listens; -1 on failure.
int E2eListenAsServiceManager(const std::string& path);
// The next datagram within milliseconds, "" when none came.
std::string E2eNextNotification(int socket, int milliseconds);

// A listening socket on a free loopback port, kept as the one that
// E2ePassSharedListener passes: as systemd passes pelmor.socket to every
// receiver (descriptor 3, LISTEN_PID, LISTEN_FDS). Its port, or -1.
int E2eMakeSharedListener();
// For SupportStart's inChild: hands the shared listener to the program.
void E2ePassSharedListener();
// Closes the shared listener.
void E2eCloseSharedListener();

// Counts the occurrences of text in haystack.
int E2eCount(const std::string& haystack, const std::string& text);

#endif
