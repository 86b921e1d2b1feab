#include "fault_support.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool FaultAllDigits(const std::string& text) {
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

} // namespace

void FaultTest::SetUp() {
    E2eTest::SetUp();
    port = LoopbackFreePort();
    ASSERT_GT(port, 0);
    WriteStandardIni("pelmor.ini", port, std::to_string(FAULT_TIMEOUT_SECONDS));
}

void FaultTest::Start(uint64_t fileSizeLimit) {
    // The child inherits the limit; the test process carries it only while
    // it starts the child, and writes nothing meanwhile.
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    if (fileSizeLimit != 0) {
        const rlimit limited{fileSizeLimit, previous.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    receiver = StartReceiver({"pelmor.ini"});
    setrlimit(RLIMIT_FSIZE, &previous);
    ASSERT_GT(receiver, 0);
    const ToolRun ready = RunPelmorctl({"wait-ready", "--timeout", "15"});
    ASSERT_EQ(ready.exitCode, 0) << ready.err << SupportReadFile(PathOf("pelmor.err"));
}

bool FaultTest::Running() const {
    int status = 0;
    return receiver > 0 && waitpid(receiver, &status, WNOHANG) == 0;
}

void FaultTest::Session(int first, int count) {
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    for (int i = first; i < first + count; ++i) {
        ASSERT_EQ(LoopbackSendMessage(fd, FaultMessage(i)), PELMOR_ACK_STORED) << "message " << i;
    }
    LoopbackEndSession(fd);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1);
    close(fd);
}

void FaultTest::Settle() {
    const int fd = LoopbackConnect(port);
    ASSERT_GE(fd, 0);
    LoopbackEndSession(fd);
    EXPECT_EQ(LoopbackReceiveByte(fd), -1);
    close(fd);
}

std::string FaultMessage(int i) {
    return "satz-" + std::to_string(i) + "-" + std::string(static_cast<std::size_t>(i % 90), 'a');
}

std::vector<std::string> FaultRecords(const std::string& content) {
    EXPECT_EQ(content.size() % PELMOR_DISK_RECORD_LENGTH, 0u) << "a torn record in the buffer file";
    std::vector<std::string> messages;
    for (const SupportRecord& record : SupportRecordsOf(content)) {
        const std::size_t index = messages.size();
        EXPECT_EQ(record.mark, "$") << "record " << index;
        EXPECT_TRUE(FaultAllDigits(record.port + record.stamp + record.counter))
            << "record " << index;
        EXPECT_EQ(record.lineEnd, "\r\n") << "record " << index;
        messages.push_back(SupportRecordMessage(record));
    }
    return messages;
}

int FaultLowestFreeDescriptor(pid_t pid, int above) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    int fd = above + 1;
    while (access((folder + std::to_string(fd)).c_str(), F_OK) == 0) {
        ++fd;
    }
    return fd;
}

int FaultOpenDescriptors(pid_t pid) {
    DIR* listing = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (listing == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(listing)) {
        count += entry->d_name[0] != '.';
    }
    closedir(listing);
    return count;
}

long FaultResidentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

long FaultCpuTicks(pid_t pid) {
    const std::string stat = SupportReadFile("/proc/" + std::to_string(pid) + "/stat");
    // The fields after the command's closing parenthesis; utime and stime
    // are the 12th and 13th of them.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        ticks += i >= 12 ? std::atol(field.c_str()) : 0;
    }
    return ticks;
}
