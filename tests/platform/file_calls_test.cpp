// The Linux file calls under the scanner: read-ahead, seeks inside and
// outside the buffer, end of file, and failing system calls put in place
// through the system-call table.
#include "keyini_test_support.h"
#include "platform/file_calls.h"
#include "file_syscalls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int readCalls;
int seekCalls;
size_t readLimit; // bytes delivered before reads fail with EIO
size_t bytesDelivered;
bool interruptNext;

ssize_t CountingRead(int fd, void* buffer, size_t bytes) {
    ++readCalls;
    return read(fd, buffer, bytes);
}

off_t CountingSeek(int fd, off_t offset, int whence) {
    ++seekCalls;
    return lseek(fd, offset, whence);
}

ssize_t FailingRead(int fd, void* buffer, size_t bytes) {
    if (bytesDelivered >= readLimit) {
        errno = EIO;
        return -1;
    }
    ssize_t got = read(fd, buffer, std::min(bytes, readLimit - bytesDelivered));
    bytesDelivered += static_cast<size_t>(got);
    return got;
}

// Every other read and the first open are interrupted before doing anything.
ssize_t InterruptedRead(int fd, void* buffer, size_t bytes) {
    interruptNext = !interruptNext;
    if (interruptNext) {
        errno = EINTR;
        return -1;
    }
    return read(fd, buffer, std::min<size_t>(bytes, 1000));
}

int InterruptedOpen(const char* path, int flags) {
    if (!interruptNext) {
        interruptNext = true;
        errno = EINTR;
        return -1;
    }
    return fileSyscallsSystem.openFile(path, flags);
}

int FailingClose(int fd) {
    close(fd);
    errno = EIO;
    return -1;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 % 251);
    }
    return bytes;
}

class FileCallsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        readCalls = seekCalls = 0;
        bytesDelivered = 0;
        interruptNext = false;
        fileSyscalls.readFile = CountingRead;
        fileSyscalls.seekFile = CountingSeek;
    }
    void TearDown() override {
        if (file != HFILE_ERROR) {
            _lclose(file);
        }
        fileSyscalls = fileSyscallsSystem;
    }
    // Opens a file of these bytes in place of the one open before, and counts
    // system calls from here.
    void Open(const std::string& bytes) {
        if (file != HFILE_ERROR) {
            _lclose(file);
        }
        readCalls = seekCalls = 0;
        std::string path = WriteTestFile(bytes);
        file = _lopen(path.c_str(), OF_READ);
        ASSERT_NE(file, HFILE_ERROR);
    }
    // The byte read, or END (0 bytes delivered) or FAILED (HFILE_ERROR).
    int NextByte() {
        unsigned char byte;
        LONG got = _hread(file, &byte, 1);
        return got == 1 ? byte : (got == 0 ? END : FAILED);
    }
    static constexpr int END = -1;
    static constexpr int FAILED = -2;
    HFILE file = HFILE_ERROR;
};

// Reading byte by byte, after a seek or none: the bytes come from where the
// seek landed to the end, at one read per read-ahead; only a seek outside the
// buffer costs a system call of its own.
TEST_F(FileCallsTest, ByteByByteReadingAndSeeksCostOneSystemCallPerReadAhead) {
    const LONG ahead = static_cast<LONG>(FILE_CALLS_READ_AHEAD);
    const LONG behind = static_cast<LONG>(FILE_CALLS_KEEP_BEHIND);
    const LONG stretch = ahead - behind;
    const struct {
        LONG size;
        LONG readFirst;
        LONG offset;
        int whence;
        LONG position;
        int seeks;
        int reads;
    } cases[] = {
        {200000, 0, 0, FILE_CURRENT, 0, 0, 1 + (200000 - ahead + stretch - 1) / stretch + 1},
        {1000, 10, -5, FILE_CURRENT, 5, 0, 2},
        {1000, 6, 500, FILE_CURRENT, 506, 0, 2},
        {1000, 507, 0, FILE_END, 1000, 0, 2},
        // A short step back across a refill stays in memory.
        {ahead + 1000, ahead + 10, -behind, FILE_CURRENT, ahead + 10 - behind, 0, 3},
        {150000, 140000, -139990, FILE_CURRENT, 10, 1, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.readFirst << " then " << c.offset);
        std::string bytes = Pattern(static_cast<size_t>(c.size));
        Open(bytes);
        for (LONG i = 0; i < c.readFirst; ++i) {
            NextByte();
        }
        EXPECT_EQ(_llseek(file, c.offset, c.whence), c.position);
        for (LONG i = c.position; i < c.size; ++i) {
            ASSERT_EQ(NextByte(), static_cast<unsigned char>(bytes[static_cast<size_t>(i)])) << i;
        }
        EXPECT_EQ(NextByte(), END);
        EXPECT_EQ(seekCalls, c.seeks);
        EXPECT_EQ(readCalls, c.reads);
    }
}

TEST_F(FileCallsTest, RewindAfterEndOfFileReadsTheSameBytesAgain) {
    Open("abc");
    EXPECT_EQ(NextByte(), 'a');
    EXPECT_EQ(NextByte(), 'b');
    EXPECT_EQ(NextByte(), 'c');
    EXPECT_EQ(NextByte(), END);
    EXPECT_EQ(NextByte(), END);
    EXPECT_EQ(_llseek(file, 0, FILE_CURRENT), 3) << "a read at the end does not move";
    EXPECT_EQ(_llseek(file, -2, FILE_CURRENT), 1);
    EXPECT_EQ(NextByte(), 'b');
    EXPECT_EQ(NextByte(), 'c');
    EXPECT_EQ(NextByte(), END);
    EXPECT_EQ(_llseek(file, 0, FILE_BEGIN), 0);
    EXPECT_EQ(NextByte(), 'a');
}

TEST_F(FileCallsTest, SeekBeforeTheStartFailsAndKeepsThePosition) {
    Open("abc");
    NextByte();
    EXPECT_EQ(_llseek(file, -2, FILE_CURRENT), HFILE_ERROR);
    EXPECT_EQ(_llseek(file, 0, 7), HFILE_ERROR);
    EXPECT_EQ(NextByte(), 'b');
}

TEST_F(FileCallsTest, LargeReadsCrossRefills) {
    std::string bytes = Pattern(150000);
    Open(bytes);
    std::vector<char> buffer(100000);
    ASSERT_EQ(_hread(file, buffer.data(), 100000), 100000);
    EXPECT_EQ(std::string(buffer.data(), 100000), bytes.substr(0, 100000));
    ASSERT_EQ(_hread(file, buffer.data(), 100000), 50000);
    EXPECT_EQ(std::string(buffer.data(), 50000), bytes.substr(100000));
    EXPECT_EQ(_hread(file, buffer.data(), 100000), 0);
}

TEST_F(FileCallsTest, InterruptedCallsAreRetried) {
    fileSyscalls.openFile = InterruptedOpen;
    fileSyscalls.readFile = InterruptedRead;
    std::string bytes = Pattern(5000);
    Open(bytes);
    std::vector<char> buffer(5000);
    EXPECT_EQ(_hread(file, buffer.data(), 5000), 5000);
    EXPECT_EQ(std::string(buffer.data(), 5000), bytes);
}

TEST_F(FileCallsTest, ReadErrorIsReportedAndDoesNotPassForTheEndOfFile) {
    fileSyscalls.readFile = FailingRead;
    readLimit = 2;
    Open("abcdef");
    EXPECT_EQ(NextByte(), 'a');
    EXPECT_EQ(NextByte(), 'b');
    EXPECT_EQ(NextByte(), FAILED);

    std::string first = "KEYINI\r\n[G]\r\nA = 1\r\n";
    std::string rest = "[G]\r\nB = 2\r\n";
    ParameterDescriptor table[2] = {MakeEntry("G", "A", TYPINT), MakeEntry("G", "B", TYPINT)};
    bytesDelivered = 0;
    readLimit = first.size();
    ReadOutcome outcome = ReadBytes(first + rest, table, 2);
    EXPECT_EQ(outcome.resultCode, KEYINI_E_EOF);
    EXPECT_EQ(outcome.position, 3);
    EXPECT_EQ(table[0].value.intValue, 1);
    EXPECT_EQ(table[1].found, 0);
}

TEST_F(FileCallsTest, CloseFailureAfterReadingIsMinusThree) {
    fileSyscalls.closeFile = FailingClose;
    ParameterDescriptor entry = MakeEntry("G", "A", TYPINT);
    ReadOutcome outcome = ReadBytes("KEYINI\r\n[G]\r\nA = 1\r\n", &entry, 1);
    EXPECT_EQ(outcome.returned, 0);
    EXPECT_EQ(outcome.resultCode, KEYINI_E_CLOSE);
    EXPECT_EQ(outcome.position, -99);
    EXPECT_EQ(entry.value.intValue, 1);
}

TEST_F(FileCallsTest, OpenRefusesWhatCannotBeReadAsARegularFile) {
    std::string path = WriteTestFile("x");
    std::string folder = path.substr(0, path.rfind('/'));
    std::string fifo = folder + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(_lopen(folder.c_str(), OF_READ), HFILE_ERROR);
    EXPECT_EQ(_lopen(fifo.c_str(), OF_READ), HFILE_ERROR) << "must neither block nor open";
    EXPECT_EQ(_lopen((folder + "/missing").c_str(), OF_READ), HFILE_ERROR);
    EXPECT_EQ(_lopen(nullptr, OF_READ), HFILE_ERROR);
    EXPECT_EQ(_lopen(path.c_str(), 1), HFILE_ERROR) << "writing is not provided";
    unlink(fifo.c_str());
}

TEST_F(FileCallsTest, OpenFilesAreLimitedAndClosingFreesTheirPlace) {
    std::string path = WriteTestFile("x");
    std::vector<HFILE> files;
    for (HFILE opened; (opened = _lopen(path.c_str(), OF_READ)) != HFILE_ERROR;) {
        files.push_back(opened);
        ASSERT_LE(files.size(), 64u);
    }
    EXPECT_GE(files.size(), 2u);
    EXPECT_EQ(_lclose(files.back()), 0);
    EXPECT_EQ(_lclose(files.back()), HFILE_ERROR) << "a handle is closed once";
    char byte;
    EXPECT_EQ(_hread(files.back(), &byte, 1), HFILE_ERROR);
    EXPECT_EQ(_llseek(files.back(), 0, FILE_BEGIN), HFILE_ERROR);
    files.back() = _lopen(path.c_str(), OF_READ);
    EXPECT_NE(files.back(), HFILE_ERROR);
    for (HFILE opened : files) {
        _lclose(opened);
    }
}

} // namespace
