#include "e2e_support.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

void E2eTest::SetUp() {
    dir = SupportMakeFolder();
    ASSERT_FALSE(dir.empty());
    setenv("PELMOR_RUNTIME_DIR", (dir + "/rt").c_str(), 1);
}

void E2eTest::TearDown() {
    for (pid_t child : started) {
        kill(child, SIGKILL);
        SupportExitWithin(child, E2E_WAIT_MS);
    }
    unsetenv("PELMOR_RUNTIME_DIR");
    unsetenv("NOTIFY_SOCKET");
    SupportRemoveFolder(dir);
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
    pid_t child = SupportStart(PELMOR_BIN, words, dir, PathOf("pelmor.out"), PathOf("pelmor.err"),
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
    EXPECT_EQ(ready.exitCode, 0) << ready.err << SupportReadFile(PathOf("pelmor.err"));
    return child;
}

E2eTest::ToolRun E2eTest::RunPelmorctl(const std::vector<std::string>& words) {
    pid_t child = SupportStart(PELMORCTL_BIN, words, dir, PathOf("ctl.out"), PathOf("ctl.err"));
    int exitCode = SupportExitWithin(child, E2E_WAIT_MS + 10000);
    return {exitCode, SupportReadFile(PathOf("ctl.out")), SupportReadFile(PathOf("ctl.err"))};
}

int E2eTest::ReceiverExit(pid_t receiver, int milliseconds) {
    int exitCode = SupportExitWithin(receiver, milliseconds);
    for (size_t i = 0; i < started.size(); ++i) {
        if (started[i] == receiver) {
            started.erase(started.begin() + static_cast<long>(i));
            break;
        }
    }
    return exitCode;
}

int E2eListenAsServiceManager(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    return fd;
}

std::string E2eNextNotification(int socket, int milliseconds) {
    pollfd entry{};
    entry.fd = socket;
    entry.events = POLLIN;
    char datagram[512];
    if (poll(&entry, 1, milliseconds) != 1) {
        return "";
    }
    const ssize_t length = recv(socket, datagram, sizeof datagram, MSG_DONTWAIT);
    return length > 0 ? std::string(datagram, static_cast<size_t>(length)) : "";
}

namespace {
int e2eSharedListener = -1;
} // namespace

int E2eMakeSharedListener() {
    e2eSharedListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (e2eSharedListener < 0 ||
        bind(e2eSharedListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(e2eSharedListener, 64) != 0 ||
        getsockname(e2eSharedListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

void E2ePassSharedListener() {
    // dup2 onto itself would keep close-on-exec.
    if ((e2eSharedListener != 3 && dup2(e2eSharedListener, 3) != 3) || fcntl(3, F_SETFD, 0) != 0) {
        _exit(125);
    }
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", "1", 1);
}

void E2eCloseSharedListener() {
    if (e2eSharedListener >= 0) {
        close(e2eSharedListener);
        e2eSharedListener = -1;
    }
}

int E2eCount(const std::string& haystack, const std::string& text) {
    int count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos;
         at = haystack.find(text, at + text.size())) {
        count++;
    }
    return count;
}
