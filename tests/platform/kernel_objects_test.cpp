// Named mutexes, events and file mappings across handles and processes, and
// under failing system calls.
#include "platform/kernel_objects.h"
#include "kernel_syscalls.h"
#include "protocol/names.h"

#include "support/files.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <csignal>
#include <sys/mman.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Each test gets its own namespace directory.
class KernelObjects : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = SupportMakeFolder();
        ASSERT_FALSE(dir.empty());
        setenv("PELMOR_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        SupportRemoveFolder(dir);
        unsetenv("PELMOR_RUNTIME_DIR");
    }
    std::string dir;
};

// Reads one byte from fd within a bounded time; -1 on time-out or end.
int ReadByteWithin(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    unsigned char byte = 0;
    if (poll(&entry, 1, milliseconds) != 1 || read(fd, &byte, 1) != 1) {
        return -1;
    }
    return byte;
}

TEST_F(KernelObjects, EventIsSharedAndKeepsItsStateWhenOpenedOrCreatedAgain) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "Ev");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);

    HANDLE second = CreateEventA(nullptr, TRUE, TRUE, "Ev");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT) << "existing state kept";

    EXPECT_TRUE(SetEvent(first));
    HANDLE third = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Ev");
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "a wait leaves it signalled";

    EXPECT_TRUE(ResetEvent(third));
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
    for (HANDLE h : {first, second, third}) {
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST_F(KernelObjects, ObjectEndsWithItsLastHandleAndStartsAfresh) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "Stop");
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(ResetEvent(event));
    ASSERT_TRUE(CloseHandle(event));

    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Stop"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    event = CreateEventA(nullptr, TRUE, TRUE, "Stop");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "initial state, not the old one";
    CloseHandle(event);

    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "NeverMade"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(KernelObjects, MutexIsOwnedByItsCreatingHandleUntilClosed) {
    HANDLE owner = CreateMutexA(nullptr, TRUE, "MTX");
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(owner, 0), WAIT_OBJECT_0) << "the owner may wait again";

    HANDLE other = CreateMutexA(nullptr, TRUE, "MTX");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(other, 30), WAIT_TIMEOUT);

    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, "MTX");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(CloseHandle(owner));
    EXPECT_EQ(WaitForSingleObject(other, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_TIMEOUT);
    CloseHandle(other);
    CloseHandle(opened);
}

TEST_F(KernelObjects, KindsAndNamesAreChecked) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Shared");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, "Shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(mutex);

    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    for (const char* bad : {"", "a/b", ".", ".."}) {
        EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, bad), nullptr) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << bad;
    }
    EXPECT_EQ(CreateEventA(nullptr, FALSE, TRUE, "Auto"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(5000, 'n').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

// What one handle's view writes the other's sees; a view outlives its
// handle; once the last view and handle are gone a new one starts zeroed.
TEST_F(KernelObjects, FileMappingIsSharedLivesWithItsViewsAndStartsZeroed) {
    HANDLE made = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, "Map");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    auto* written = static_cast<unsigned char*>(MapViewOfFile(made, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written[0] + written[99], 0);
    written[99] = 42;
    EXPECT_TRUE(CloseHandle(made)) << "the view keeps it";

    HANDLE again = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, "Map");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
    HANDLE opened = OpenFileMappingA(FILE_MAP_READ, FALSE, "Map");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, 101), nullptr) << "beyond its 100 bytes";
    auto* read = static_cast<const unsigned char*>(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, 100));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read[99], 42);
    EXPECT_TRUE(UnmapViewOfFile(read));
    CloseHandle(opened);
    EXPECT_TRUE(UnmapViewOfFile(written));
    EXPECT_FALSE(UnmapViewOfFile(nullptr));

    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Map"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    made = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, "Map");
    ASSERT_NE(made, nullptr);
    auto* fresh = static_cast<unsigned char*>(MapViewOfFile(made, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh[99], 0);
    EXPECT_EQ(WaitForSingleObject(made, 0), WAIT_FAILED) << "not a waitable object";
    UnmapViewOfFile(fresh);
    CloseHandle(made);
}

TEST_F(KernelObjects, UnnamedObjectsArePrivate) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(KernelObjects, NamespaceDirectoryFollowsTheEnvironment) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "Here");
    ASSERT_NE(event, nullptr);
    struct stat info;
    EXPECT_EQ(stat((dir + "/Here").c_str(), &info), 0);
    CloseHandle(event);

    unsetenv("PELMOR_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    event = CreateEventA(nullptr, TRUE, TRUE, "There");
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(stat((dir + "/pelmor").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(stat((dir + "/pelmor/There").c_str(), &info), 0);
    CloseHandle(event);
    unlink((dir + "/pelmor/There").c_str());
    rmdir((dir + "/pelmor").c_str());

    // A runtime folder inside one another user owns, or one others may
    // write without the sticky bit: either could swap the directory away.
    const std::string run = dir + "/theirs/run";
    ASSERT_EQ(mkdir((dir + "/theirs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    for (const bool foreign : {true, false}) {
        if (foreign && geteuid() != 0) {
            continue; // only root can give a folder away
        }
        ASSERT_EQ(foreign ? chown((dir + "/theirs").c_str(), 65534, 65534)
                          : chmod((dir + "/theirs").c_str(), 0777),
                  0);
        EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, "Swapped"), nullptr) << foreign;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << foreign;
        ASSERT_EQ(chown((dir + "/theirs").c_str(), geteuid(), getegid()), 0);
        ASSERT_EQ(chmod((dir + "/theirs").c_str(), 0755), 0);
    }
    ASSERT_EQ(chmod((dir + "/theirs").c_str(), 01777), 0); // as /tmp: sticky
    event = CreateEventA(nullptr, TRUE, TRUE, "Sticky");
    EXPECT_NE(event, nullptr);
    CloseHandle(event);
    unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(KernelObjects, FiniteWaitEndsWithTimeoutOrWhenSetElsewhere) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "Wait");
    ASSERT_NE(event, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    std::thread setter([] {
        HANDLE mine = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Wait");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(mine);
        CloseHandle(mine);
    });
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    setter.join();

    ResetEvent(event);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE theirs = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Wait");
        usleep(30000);
        _exit(theirs != nullptr && SetEvent(theirs) ? 0 : 1);
    }
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(SupportExitWithin(child, 10000), 0);
    CloseHandle(event);
}

// Children create the same name at once and keep their handles until all
// have reported: exactly one may have created it.
void RaceToCreate(bool mutex, int round) {
    constexpr int children = 6;
    std::string name = "Race" + std::to_string(round);
    int results[2];
    int release[2];
    ASSERT_EQ(pipe(results), 0);
    ASSERT_EQ(pipe(release), 0);
    auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(results[0]);
            close(release[1]);
            std::this_thread::sleep_until(start);
            HANDLE object = mutex ? CreateMutexA(nullptr, TRUE, name.c_str())
                                  : CreateEventA(nullptr, TRUE, FALSE, name.c_str());
            unsigned char outcome = object == nullptr                        ? 'F'
                                    : GetLastError() == ERROR_ALREADY_EXISTS ? 'E'
                                                                             : 'C';
            if (write(results[1], &outcome, 1) != 1) {
                _exit(2);
            }
            ReadByteWithin(release[0], 10000);
            _exit(0);
        }
        pids.push_back(child);
    }
    close(results[1]);
    close(release[0]);
    int created = 0;
    int existed = 0;
    for (int i = 0; i < children; ++i) {
        int outcome = ReadByteWithin(results[0], 10000);
        created += outcome == 'C';
        existed += outcome == 'E';
    }
    close(release[1]);
    close(results[0]);
    for (pid_t child : pids) {
        EXPECT_EQ(SupportExitWithin(child, 10000), 0);
    }
    EXPECT_EQ(created, 1) << "round " << round;
    EXPECT_EQ(existed, children - 1) << "round " << round;
}

TEST_F(KernelObjects, OfConcurrentCreatorsExactlyOneCreates) {
    for (int round = 0; round < 10; ++round) {
        RaceToCreate(round % 2 == 0, round);
    }
}

TEST_F(KernelObjects, KilledHolderLeavesNothingStale) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, PELMOR_MUTEX_NAME);
        HANDLE stop = CreateEventA(nullptr, TRUE, TRUE, PELMOR_STOP_EVENT_NAME);
        unsigned char done = mutex != nullptr && stop != nullptr && ResetEvent(stop) ? 'R' : 'F';
        if (write(ready[1], &done, 1) != 1) {
            _exit(2);
        }
        pause();
        _exit(0);
    }
    close(ready[1]);
    ASSERT_EQ(ReadByteWithin(ready[0], 10000), 'R');
    close(ready[0]);

    HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, PELMOR_MUTEX_NAME);
    ASSERT_NE(seen, nullptr) << "the child holds it";
    EXPECT_EQ(WaitForSingleObject(seen, 0), WAIT_TIMEOUT) << "and owns it";
    CloseHandle(seen);

    kill(child, SIGKILL);
    EXPECT_EQ(SupportExitWithin(child, 10000), 128 + SIGKILL);

    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, PELMOR_MUTEX_NAME), nullptr);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, PELMOR_MUTEX_NAME);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE stop = CreateEventA(nullptr, TRUE, TRUE, PELMOR_STOP_EVENT_NAME);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0) << "not the reset state of the dead";
    CloseHandle(stop);
    CloseHandle(mutex);
}

int OpenDescriptors() {
    const std::filesystem::directory_iterator open("/proc/self/fd");
    return static_cast<int>(std::distance(begin(open), end(open)));
}

int faultErrno;

// A system call that fails with faultErrno, for any entry of the table.
template <typename Result> Result Failed() {
    return Result(-1);
}
template <> void* Failed<void*>() {
    return MAP_FAILED;
}
template <typename Result, typename... Arguments> Result Fail(Arguments...) {
    errno = faultErrno;
    return Failed<Result>();
}

// A failing system call at each step of making a handle: the call fails with
// the error it maps to, and leaves no descriptor and no lock behind, so the
// next creation makes the object afresh.
TEST_F(KernelObjects, FailingSystemCallsLeaveNothingBehind) {
    const struct {
        const char* call;
        int number;
        DWORD error;
        void (*inject)();
    } faults[] = {
        {"stat", EIO, ERROR_ACCESS_DENIED, [] { kernelSyscalls.statPath = Fail; }},
        {"mkdir", EACCES, ERROR_ACCESS_DENIED, [] { kernelSyscalls.makeDir = Fail; }},
        {"open", EMFILE, ERROR_GEN_FAILURE, [] { kernelSyscalls.openDir = Fail; }},
        {"fstat", EIO, ERROR_ACCESS_DENIED, [] { kernelSyscalls.statFile = Fail; }},
        {"flock", ENOLCK, ERROR_GEN_FAILURE, [] { kernelSyscalls.lockWhole = Fail; }},
        {"openat", ENOSPC, ERROR_GEN_FAILURE, [] { kernelSyscalls.openAt = Fail; }},
        {"fcntl", ENOLCK, ERROR_GEN_FAILURE, [] { kernelSyscalls.lockRange = Fail; }},
        {"ftruncate", EFBIG, ERROR_GEN_FAILURE, [] { kernelSyscalls.truncateFile = Fail; }},
        {"pwrite", ENOSPC, ERROR_GEN_FAILURE, [] { kernelSyscalls.writeAt = Fail; }},
        {"mmap", ENOMEM, ERROR_NOT_ENOUGH_MEMORY, [] { kernelSyscalls.mapMemory = Fail; }},
    };
    const std::string objects = dir + "/objects";
    setenv("PELMOR_RUNTIME_DIR", objects.c_str(), 1);
    const int before = OpenDescriptors();
    for (const auto& fault : faults) {
        faultErrno = fault.number;
        fault.inject();
        EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, "Faulted"), nullptr) << fault.call;
        EXPECT_EQ(GetLastError(), fault.error) << fault.call;
        kernelSyscalls = kernelSyscallsSystem;
        EXPECT_EQ(OpenDescriptors(), before) << fault.call;
        HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "Faulted");
        ASSERT_NE(event, nullptr) << fault.call;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << fault.call;
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << fault.call;
        CloseHandle(event);
        unlink((objects + "/Faulted").c_str());
        rmdir(objects.c_str());
    }
    faultErrno = EMFILE; // an unnamed object is made in memory
    kernelSyscalls.makeMemoryFile = Fail;
    EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    kernelSyscalls = kernelSyscallsSystem;
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
