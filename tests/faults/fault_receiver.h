// The real receiver as a child process for fault tests: its own scratch
// directory, runtime directory and parameter file, an optional file size
// limit, and the figures a fault test compares (records, descriptors, RSS).
#ifndef TESTS_FAULT_RECEIVER_H
#define TESTS_FAULT_RECEIVER_H

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

constexpr std::size_t FAULT_RECORD_BYTES = 552;
constexpr int FAULT_TIMEOUT_SECONDS = 1; // TIMEOUT of every fault receiver

struct FaultReceiver {
    std::string dir;         // working directory: PELMOR.BUF, PELMOR.LOG, pelmor.ini
    int port = 0;
    pid_t pid = -1;
};

// Makes the directory and parameter file and sets PELMOR_RUNTIME_DIR for
// this process and its children. false when the directory cannot be made.
bool FaultPrepare(FaultReceiver* receiver);

// Starts build/bin/pelmor in the receiver's directory, with the soft
// RLIMIT_FSIZE set to fileSizeLimit bytes when it is not 0, and waits until
// it is ready.
bool FaultStart(FaultReceiver* receiver, uint64_t fileSizeLimit = 0);

// Waits at most millis for the child to end: its exit code, or -1 when it
// is still running (or ended by a signal: -2).
int FaultWaitExit(FaultReceiver* receiver, int millis);

// Ends the child with SIGKILL (if it runs) and removes the directory.
void FaultDiscard(FaultReceiver* receiver);

// Runs build/bin/pelmorctl with the arguments; its exit code.
int FaultControl(const std::string& arguments);

std::string FaultPath(const FaultReceiver& receiver, const std::string& name);

// Sends one message and waits for its acknowledgement: the byte, -1 when the
// receiver closed, -2 on an error or time-out.
int FaultSendMessage(int fd, const std::string& message);

// The message column of every whole record, blanks at its end removed; fails
// the test (and returns what it has) when the file is not whole records or a
// record has a wrong column.
std::vector<std::string> FaultRecords(const std::string& content);

// Open descriptors and resident kilobytes of a process.
int FaultOpenDescriptors(pid_t pid);
long FaultResidentKilobytes(pid_t pid);

#endif
