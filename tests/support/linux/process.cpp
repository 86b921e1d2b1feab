#include "support/process.h"

#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t SupportStart(const char* program, const std::vector<std::string>& words,
                   const std::string& folder, const std::string& outFile,
                   const std::string& errFile, void (*inChild)()) {
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(folder.c_str()) != 0 || in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 ||
        dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
    }
    if (inChild != nullptr) {
        inChild();
    }
    execv(program, argv.data());
    _exit(127);
}

int SupportExitWithin(pid_t child, int milliseconds) {
    for (int waited = 0; waited <= milliseconds; waited += 5) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0) {
            return -1;
        }
        usleep(5000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}
