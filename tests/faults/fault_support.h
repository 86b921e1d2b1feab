// Fault tests against the real receiver, on top of the end-to-end support:
// a receiver with TIMEOUT 1 and, when asked, a file size limit; the records
// of its buffer file; the figures of its process.
#ifndef TESTS_FAULTS_FAULT_SUPPORT_H
#define TESTS_FAULTS_FAULT_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "e2e_support.h"
#include "protocol/record.h"
#include "support/records.h"

constexpr int FAULT_TIMEOUT_SECONDS = 1;

class FaultTest : public E2eTest {
  protected:
    void SetUp() override;

    // Starts pelmor on pelmor.ini and waits until it is ready; with a
    // fileSizeLimit other than 0 its soft RLIMIT_FSIZE is that many bytes.
    void Start(uint64_t fileSizeLimit = 0);
    bool Running() const;

    std::string Buffer() const { return SupportReadFile(PathOf("PELMOR.BUF")); }
    std::string Log() const { return SupportReadFile(PathOf("PELMOR.LOG")); }

    // One session in which every message is acknowledged "1".
    void Session(int first, int count);
    // Returns once the receiver has served a client and closed the
    // connection, so every earlier session is over.
    void Settle();

    int port = 0;
    pid_t receiver = -1;
};

// The i-th test message: distinct texts of different lengths.
std::string FaultMessage(int i);

// The message column of every record, blanks at its end removed. Fails the
// test when the file is not whole records or a record's frame is wrong.
std::vector<std::string> FaultRecords(const std::string& content);

int FaultOpenDescriptors(pid_t pid);
// The lowest descriptor number above above that the process has not open.
int FaultLowestFreeDescriptor(pid_t pid, int above = -1);
// Processor time the process has used, in clock ticks.
long FaultCpuTicks(pid_t pid);
long FaultResidentKilobytes(pid_t pid);

#endif
