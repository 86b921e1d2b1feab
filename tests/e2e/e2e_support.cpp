#include "e2e_support.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void E2eRemoveTree(const std::string& path) {
    DIR* listing = opendir(path.c_str());
    if (listing != nullptr) {
        while (dirent* entry = readdir(listing)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                E2eRemoveTree(path + "/" + name);
            }
        }
        closedir(listing);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// Starts a program in dir with stdin from /dev/null and stdout/stderr into
// files; inChild, when given, runs in the child just before the program.
pid_t E2eSpawn(const char* program, const std::vector<std::string>& words, const std::string& dir,
               const std::string& outFile, const std::string& errFile,
               void (*inChild)() = nullptr) {
    pid_t child = fork();
    if (child != 0) {
        return child;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    int in = open("/dev/null", O_RDONLY);
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(dir.c_str()) != 0 || in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 ||
        dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
    }
    if (inChild != nullptr) {
        inChild();
    }
    execv(program, argv.data());
    _exit(127);
}

} // namespace

void E2eTest::SetUp() {
    char pattern[] = "/tmp/pelmor-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    setenv("PELMOR_RUNTIME_DIR", (dir + "/rt").c_str(), 1);
}

void E2eTest::TearDown() {
    for (pid_t child : started) {
        kill(child, SIGKILL);
        E2eExitWithin(child, E2E_WAIT_MS);
    }
    unsetenv("PELMOR_RUNTIME_DIR");
    E2eRemoveTree(dir);
}

void E2eTest::WriteIni(const std::string& name, const std::vector<std::string>& keyLines) const {
    std::ofstream file(PathOf(name), std::ios::binary);
    file << "KEYINI\r\n[PELMOR]\r\n";
    for (const std::string& line : keyLines) {
        file << line << "\r\n";
    }
}

void E2eTest::WriteStandardIni(const std::string& name, int port,
                               const std::string& timeout) const {
    WriteIni(name, {"UPLPORT    = " + std::to_string(port), "BUFFDATEI  = PELMOR.BUF",
                    "LOGDATEI   = PELMOR.LOG", "MAXLOGSIZE = 2000", "ERRLEVEL   = 1000",
                    "TIMEOUT    = " + timeout});
}

pid_t E2eTest::StartReceiver(const std::vector<std::string>& words) {
    pid_t child = E2eSpawn(PELMOR_BIN, words, dir, PathOf("pelmor.out"), PathOf("pelmor.err"),
                           beforeReceiver);
    if (child > 0) {
        started.push_back(child);
    }
    return child;
}

pid_t E2eTest::StartReadyReceiver(int port) {
    WriteStandardIni("pelmor.ini", port);
    pid_t child = StartReceiver({"pelmor.ini"});
    ToolRun ready = RunPelmorctl({"wait-ready", "--timeout", "15"});
    EXPECT_EQ(ready.exitCode, 0) << ready.err << E2eReadFile(PathOf("pelmor.err"));
    return child;
}

E2eTest::ToolRun E2eTest::RunPelmorctl(const std::vector<std::string>& words) {
    pid_t child = E2eSpawn(PELMORCTL_BIN, words, dir, PathOf("ctl.out"), PathOf("ctl.err"));
    int exitCode = E2eExitWithin(child, E2E_WAIT_MS + 10000);
    return {exitCode, E2eReadFile(PathOf("ctl.out")), E2eReadFile(PathOf("ctl.err"))};
}

int E2eTest::ReceiverExit(pid_t receiver, int milliseconds) {
    int exitCode = E2eExitWithin(receiver, milliseconds);
    for (size_t i = 0; i < started.size(); ++i) {
        if (started[i] == receiver) {
            started.erase(started.begin() + static_cast<long>(i));
            break;
        }
    }
    return exitCode;
}

int E2eFreePort() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

int E2eExitWithin(pid_t child, int milliseconds) {
    for (int waited = 0; waited <= milliseconds; waited += 10) {
        int status = 0;
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0) {
            return -1;
        }
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

std::string E2eReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

int E2eConnect(int port) {
    int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{5, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(connection);
        return -1;
    }
    return connection;
}

int E2eSend(int connection, const std::string& message) {
    if (send(connection, message.data(), message.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message.size())) {
        return -1;
    }
    unsigned char ack = 0;
    return recv(connection, &ack, 1, 0) == 1 ? ack : -1;
}

int E2eCount(const std::string& haystack, const std::string& text) {
    int count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos;
         at = haystack.find(text, at + text.size())) {
        count++;
    }
    return count;
}
