// File calls on Linux: read-only regular files, read ahead into a buffer of
// their own so that reading one byte per call costs no system call per byte.
//
// Per open file the buffer holds the bytes from bufferStart on; the caller's
// position is bufferStart + cursor, and the descriptor's own position is
// always bufferStart + bufferLength. A seek that lands inside the buffer only
// moves the cursor.
#include "platform/file_calls.h"
#include "file_syscalls.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int OpenSystem(const char* path, int flags) {
    return open(path, flags);
}

constexpr int MAX_OPEN_FILES = 4;

struct OpenFile {
    int32_t inUse;
    int fd;
    int64_t bufferStart;
    size_t bufferLength;
    size_t cursor;
    unsigned char buffer[FILE_CALLS_READ_AHEAD];
};

OpenFile openFiles[MAX_OPEN_FILES];

// The file of the previous call is asked for again nearly always.
OpenFile* lastFound = &openFiles[0];

OpenFile* FindOpenFile(HFILE file) {
    if (lastFound->inUse && lastFound->fd == file) {
        return lastFound;
    }
    for (OpenFile& slot : openFiles) {
        if (slot.inUse && slot.fd == file) {
            lastFound = &slot;
            return &slot;
        }
    }
    return nullptr;
}

OpenFile* FindFreeSlot() {
    for (OpenFile& slot : openFiles) {
        if (!slot.inUse) {
            return &slot;
        }
    }
    return nullptr;
}

// Reads the next stretch of the file behind the buffer, keeping its last
// bytes in front. Returns the bytes read, 0 at end of file, -1 on failure;
// the buffered bytes stay valid in every case.
ssize_t Refill(OpenFile* slot) {
    size_t keep =
        slot->bufferLength < FILE_CALLS_KEEP_BEHIND ? slot->bufferLength : FILE_CALLS_KEEP_BEHIND;
    std::memmove(slot->buffer, slot->buffer + slot->bufferLength - keep, keep);
    slot->bufferStart += static_cast<int64_t>(slot->bufferLength - keep);
    slot->cursor -= slot->bufferLength - keep;
    slot->bufferLength = keep;
    ssize_t got;
    do {
        got = fileSyscalls.readFile(slot->fd, slot->buffer + keep, sizeof slot->buffer - keep);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        slot->bufferLength += static_cast<size_t>(got);
    }
    return got;
}

} // namespace

FileSyscalls fileSyscalls = {OpenSystem, fstat, read, lseek, close};
const FileSyscalls fileSyscallsSystem = {OpenSystem, fstat, read, lseek, close};

HFILE WINAPI _lopen(LPCSTR path, int mode) {
    OpenFile* slot = FindFreeSlot();
    // Only reading is provided; write modes fail rather than pretend.
    if (path == nullptr || slot == nullptr || (mode & 3) != OF_READ) {
        return HFILE_ERROR;
    }
    int fd;
    do {
        // Non-blocking so that a FIFO cannot hang the open; it is refused below.
        fd = fileSyscalls.openFile(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return HFILE_ERROR;
    }
    struct stat status;
    if (fileSyscalls.statFile(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        fileSyscalls.closeFile(fd);
        return HFILE_ERROR;
    }
    slot->inUse = 1;
    slot->fd = fd;
    slot->bufferStart = 0;
    slot->bufferLength = 0;
    slot->cursor = 0;
    return fd;
}

HFILE WINAPI _lclose(HFILE file) {
    OpenFile* slot = FindOpenFile(file);
    if (slot == nullptr) {
        return HFILE_ERROR;
    }
    slot->inUse = 0;
    // Linux releases the descriptor even when close is interrupted, and
    // nothing was written, so EINTR loses nothing.
    if (fileSyscalls.closeFile(file) != 0 && errno != EINTR) {
        return HFILE_ERROR;
    }
    return 0;
}

LONG WINAPI _hread(HFILE file, LPVOID buffer, LONG bytes) {
    OpenFile* slot = FindOpenFile(file);
    if (slot == nullptr || bytes < 0 || (buffer == nullptr && bytes > 0)) {
        return HFILE_ERROR;
    }
    unsigned char* out = static_cast<unsigned char*>(buffer);
    if (bytes == 1 && slot->cursor < slot->bufferLength) {
        // The scanner's call: one byte, nearly always already in the buffer.
        *out = slot->buffer[slot->cursor++];
        return 1;
    }
    LONG delivered = 0;
    while (delivered < bytes) {
        if (slot->cursor == slot->bufferLength) {
            ssize_t got = Refill(slot);
            if (got < 0 && delivered == 0) {
                return HFILE_ERROR;
            }
            if (got <= 0) {
                break;
            }
        }
        size_t available = slot->bufferLength - slot->cursor;
        size_t wanted = static_cast<size_t>(bytes - delivered);
        size_t step = available < wanted ? available : wanted;
        std::memcpy(out + delivered, slot->buffer + slot->cursor, step);
        slot->cursor += step;
        delivered += static_cast<LONG>(step);
    }
    return delivered;
}

LONG WINAPI _llseek(HFILE file, LONG offset, int origin) {
    OpenFile* slot = FindOpenFile(file);
    if (slot == nullptr) {
        return HFILE_ERROR;
    }
    int64_t base;
    if (origin == FILE_BEGIN) {
        base = 0;
    } else if (origin == FILE_CURRENT) {
        base = slot->bufferStart + static_cast<int64_t>(slot->cursor);
    } else if (origin == FILE_END) {
        struct stat status;
        if (fileSyscalls.statFile(slot->fd, &status) != 0) {
            return HFILE_ERROR;
        }
        base = status.st_size;
    } else {
        return HFILE_ERROR;
    }
    int64_t target = base + offset;
    // The result must fit the LONG it is returned in.
    if (target < 0 || target > INT32_MAX) {
        return HFILE_ERROR;
    }
    int64_t bufferEnd = slot->bufferStart + static_cast<int64_t>(slot->bufferLength);
    if (target >= slot->bufferStart && target <= bufferEnd) {
        slot->cursor = static_cast<size_t>(target - slot->bufferStart);
        return static_cast<LONG>(target);
    }
    if (fileSyscalls.seekFile(slot->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        return HFILE_ERROR;
    }
    slot->bufferStart = target;
    slot->bufferLength = 0;
    slot->cursor = 0;
    return static_cast<LONG>(target);
}
