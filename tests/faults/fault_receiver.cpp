#include "tests/faults/fault_receiver.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/commlib/loopback.h"

namespace {

int FaultFreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool FaultAllDigits(const std::string& text)
{
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string FaultPath(const FaultReceiver& receiver, const std::string& name)
{
    return receiver.dir + "/" + name;
}

bool FaultPrepare(FaultReceiver* receiver)
{
    receiver->dir = LoopbackMakeDirectory();
    receiver->port = FaultFreePort();
    if (receiver->dir.empty() || receiver->port == 0) {
        return false;
    }
    const std::string runtime = FaultPath(*receiver, "runtime");
    std::filesystem::create_directory(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("PELMOR_RUNTIME_DIR", runtime.c_str(), 1);
    std::ofstream ini(FaultPath(*receiver, "pelmor.ini"), std::ios::binary);
    ini << "KEYINI\r\n[PELMOR]\r\nUPLPORT = " << receiver->port
        << "\r\nBUFFDATEI = PELMOR.BUF\r\nLOGDATEI = PELMOR.LOG\r\nMAXLOGSIZE = 10000\r\n"
           "ERRLEVEL = 1000\r\nTIMEOUT = "
        << FAULT_TIMEOUT_SECONDS << "\r\n";
    return ini.good();
}

bool FaultStart(FaultReceiver* receiver, uint64_t fileSizeLimit)
{
    const std::string program = std::string(PELMOR_BIN_DIR) + "/pelmor";
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        if (chdir(receiver->dir.c_str()) != 0) {
            _exit(126);
        }
        if (fileSizeLimit != 0) {
            // Only the soft limit, so the test may raise it again later.
            const rlimit limit{fileSizeLimit, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execl(program.c_str(), program.c_str(), "pelmor.ini", static_cast<char*>(nullptr));
        _exit(127);
    }
    receiver->pid = child;
    return FaultControl("wait-ready --timeout 10") == 0;
}

int FaultWaitExit(FaultReceiver* receiver, int millis)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    while (receiver->pid > 0) {
        int status = 0;
        const pid_t done = waitpid(receiver->pid, &status, WNOHANG);
        if (done == receiver->pid) {
            receiver->pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void FaultDiscard(FaultReceiver* receiver)
{
    if (receiver->pid > 0) {
        kill(receiver->pid, SIGKILL);
        waitpid(receiver->pid, nullptr, 0);
        receiver->pid = -1;
    }
    if (!receiver->dir.empty()) {
        LoopbackRemoveDirectory(receiver->dir);
    }
}

int FaultControl(const std::string& arguments)
{
    const std::string command =
        std::string(PELMOR_BIN_DIR) + "/pelmorctl " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FaultSendMessage(int fd, const std::string& message)
{
    if (!LoopbackSend(fd, message)) {
        return -2;
    }
    return LoopbackReceiveByte(fd);
}

std::vector<std::string> FaultRecords(const std::string& content)
{
    std::vector<std::string> messages;
    EXPECT_EQ(content.size() % FAULT_RECORD_BYTES, 0u) << "a torn record in the buffer file";
    for (std::size_t at = 0; at + FAULT_RECORD_BYTES <= content.size(); at += FAULT_RECORD_BYTES) {
        const std::string record = content.substr(at, FAULT_RECORD_BYTES);
        const std::size_t index = at / FAULT_RECORD_BYTES;
        EXPECT_EQ(record[0], '$') << "record " << index;
        EXPECT_TRUE(FaultAllDigits(record.substr(16, 22))) << "record " << index;
        EXPECT_EQ(record.substr(550), "\r\n") << "record " << index;
        std::string message = record.substr(38, 512);
        message.erase(message.find_last_not_of(' ') + 1);
        messages.push_back(message);
    }
    return messages;
}

int FaultOpenDescriptors(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator(path, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

long FaultResidentKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}
