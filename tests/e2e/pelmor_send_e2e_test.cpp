// pelmor-send against the real receiver: lines of standard input sent as they
// are read, across a pause longer than the receiver's TIMEOUT; its options.
#include "e2e_support.h"

#include "support/records.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

using E2ePelmorSend = E2eTest;

int sendInput = -1;
void ReadSendInput() {
    dup2(sendInput, 0);
}

struct SendRun {
    int exitCode;
    std::string out;
    std::string err;
};

TEST_F(E2ePelmorSend, LinesGoOutAsTheyAreReadAndAPauseLongerThanTheTimeoutCostsNothing) {
    const int port = LoopbackFreePort();
    WriteStandardIni("pelmor.ini", port, "1");
    pid_t receiver = StartReceiver({"pelmor.ini"});
    ASSERT_EQ(RunPelmorctl({"wait-ready", "--timeout", "15"}).exitCode, 0);
    const std::string portText = std::to_string(port);

    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    sendInput = input[0];
    const pid_t sender = SupportStart(PELMOR_SEND_BIN, {"--port", portText}, dir,
                                      PathOf("send.out"), PathOf("send.err"), ReadSendInput);
    close(input[0]);
    ASSERT_EQ(write(input[1], "eins\n", 5), 5);
    for (int waited = 0; waited < E2E_WAIT_MS && SupportReadFile(PathOf("send.out")) != "1\n";
         waited += 10) {
        usleep(10000);
    }
    EXPECT_EQ(SupportReadFile(PathOf("send.out")), "1\n") << "acknowledged before input ended";
    usleep(2500 * 1000); // TIMEOUT 1: the receiver ends the idle session meanwhile
    ASSERT_EQ(write(input[1], "zwei\r\n", 6), 6);
    close(input[1]);
    EXPECT_EQ(SupportExitWithin(sender, E2E_WAIT_MS), 0) << SupportReadFile(PathOf("send.err"));
    EXPECT_EQ(SupportReadFile(PathOf("send.out")), "1\n1\n");

    // Single-dash words are options; after "--" a message may begin with "-".
    const auto send = [&](const std::vector<std::string>& words) {
        const pid_t child =
            SupportStart(PELMOR_SEND_BIN, words, dir, PathOf("send.out"), PathOf("send.err"));
        const int exitCode = SupportExitWithin(child, E2E_WAIT_MS);
        return SendRun{exitCode, SupportReadFile(PathOf("send.out")),
                       SupportReadFile(PathOf("send.err"))};
    };
    for (const std::string help : {"-h", "--help"}) {
        SendRun run = send({"--port", portText, help, "nicht gesendet"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out.rfind("Aufruf: pelmor-send", 0), 0) << run.out;
    }
    EXPECT_EQ(send({"-V"}).out, "pelmor-send " PELMOR_VERSION "\n");
    SendRun unknown = send({"--port", portText, "-x"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(send({"--port", portText, "--", "-h", "drei"}).out, "1\n1\n");

    std::vector<std::string> messages;
    for (const SupportRecord& record : SupportRecordsOf(SupportReadFile(PathOf("PELMOR.BUF")))) {
        messages.push_back(SupportRecordMessage(record));
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"eins", "zwei", "-h", "drei"}));
    EXPECT_EQ(RunPelmorctl({"stop"}).exitCode, 0);
    EXPECT_EQ(ReceiverExit(receiver), 0);
}

} // namespace
