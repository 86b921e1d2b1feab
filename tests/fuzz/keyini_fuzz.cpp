// Arbitrary bytes as a parameter file, read, checked and freed in one call
// over a table with every type, a dynamic list and two groups. Any crash,
// sanitizer report, leak or broken invariant below is a finding.
//
// The file lives in memory behind the file calls' system-call table, so the
// real read-ahead and seeks run without a disk file per input. Input: one
// byte that sets how many bytes a read may deliver (1 to 128, so reads end
// short and the layer refills and seeks back across its buffer), then the
// file's bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <cerrno>
#include <sys/stat.h>

#include "file_syscalls.h"

#include "paramfile/keyini.h"

namespace {

constexpr const char* kLongDefault =
    "0123456789012345678901234567890123456789012345678901234567890123456789"
    "0123456789012345678901234567890123456789012345678901234567890123456789";

// Group ALPHA holds one key of each type; BETA starts with its dynamic list,
// so a DYNAMIC section of BETA is taken and one of ALPHA is refused.
const ParameterDescriptor kTemplate[] = {
    {"ALPHA", "TEXT", 0, 0, 1, 1, 0, 1, 20, TYPSTRING, "abc", {}, {}, "text"},
    {"ALPHA", "LONGTEXT", 1, 0, 1, 1, 0, 0, 100, TYPSTRING, kLongDefault, {}, {}, "cut"},
    {"ALPHA", "NOTEXT", 2, 0, 1, 1, 0, 0, 100, TYPSTRING, nullptr, {}, {}, "null"},
    {"ALPHA", "CHAR", 3, 0, 1, 1, 0, 0, 0, TYPCHAR, "c", {}, {}, "char"},
    {"ALPHA", "FLAG", 4, 0, 1, 1, 0, 0, 0, TYPBOOL, "TRUE", {}, {}, "bool"},
    {"ALPHA", "NUMBER", 5, 0, 1, 1, 0, 0, 1000, TYPINT, "99999999999", {}, {}, "int"},
    {"ALPHA", "WIDE", 6, 0, 1, 0, 0, -5, 3e9, TYPLONG, "-7", {}, {}, "long"},
    {"ALPHA", "REAL", 7, 0, 1, 1, 0, 0, 1e6, TYPDOUBLE, "1d3", {}, {}, "double"},
    {"ALPHA", "ODD", 8, 0, 1, 1, 0, 0, 0, -7, "x", {}, {}, "unassigned"},
    {"BETA", "LIST", 9, 0, 1, 1, 0, 0, 0, TYPDYN, nullptr, {}, {}, "pairs"},
    {"BETA", "COUNT", 10, 0, 0, 1, 0, 1, 9, TYPINT, "5", {}, {}, "required"},
    {nullptr, nullptr, 11, 0, 1, 1, 0, 0, 0, TYPINT, "1", {}, {}, "never matches"},
};
constexpr int32_t kCount = static_cast<int32_t>(std::size(kTemplate));

struct MemoryFile {
    const uint8_t* bytes;
    size_t size;
    size_t position;
    size_t chunk; // most bytes one read delivers
    int opened;
    int closed;
};
MemoryFile memoryFile;
constexpr int kMemoryFd = 1000;

int MemoryOpen(const char*, int) {
    memoryFile.position = 0;
    ++memoryFile.opened;
    return kMemoryFd;
}

int MemoryStat(int, struct stat* status) {
    *status = {};
    status->st_mode = S_IFREG | 0644;
    status->st_size = static_cast<off_t>(memoryFile.size);
    return 0;
}

ssize_t MemoryRead(int, void* buffer, size_t bytes) {
    size_t left = memoryFile.position < memoryFile.size ? memoryFile.size - memoryFile.position : 0;
    size_t take = std::min({bytes, left, memoryFile.chunk});
    if (take > 0) {
        std::memcpy(buffer, memoryFile.bytes + memoryFile.position, take);
    }
    memoryFile.position += take;
    return static_cast<ssize_t>(take);
}

off_t MemorySeek(int, off_t offset, int whence) {
    off_t base = whence == SEEK_CUR   ? static_cast<off_t>(memoryFile.position)
                 : whence == SEEK_END ? static_cast<off_t>(memoryFile.size)
                                      : 0;
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    memoryFile.position = static_cast<size_t>(base + offset);
    return base + offset;
}

int MemoryClose(int) {
    ++memoryFile.closed;
    return 0;
}

bool knownCode(int32_t code) {
    static const int32_t codes[] = {
        KEYINI_OK,           KEYINI_E_OPEN,        KEYINI_E_CLOSE,     KEYINI_E_EOF,
        KEYINI_E_TOKEN_LONG, KEYINI_E_NO_HEADER,   KEYINI_E_NO_OPEN,   KEYINI_E_NO_CLOSE,
        KEYINI_E_NO_EQUALS,  KEYINI_E_UNKNOWN_KEY, KEYINI_E_NOT_FOUND, KEYINI_E_NOT_VALID,
        KEYINI_E_NOT_DYN,    KEYINI_E_NO_MEMORY};
    for (int32_t known : codes) {
        if (code == known) {
            return true;
        }
    }
    return false;
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_keyini: %s\n", what);
        std::abort();
    }
}

// Every text the reader wrote ends inside its field.
void checkEntry(const ParameterDescriptor& entry) {
    require(std::memchr(entry.content, 0, sizeof entry.content) != nullptr,
            "content not terminated");
    if (entry.type == TYPSTRING) {
        require(std::memchr(entry.value.textValue, 0, sizeof entry.value.textValue) != nullptr,
                "text value not terminated");
    }
    if (entry.valid && entry.found && entry.type == TYPBOOL) {
        require(entry.value.intValue == 0 || entry.value.intValue == 1, "bool not 0 or 1");
    }
    if (entry.valid && entry.found && entry.type == TYPINT) {
        require(entry.value.intValue >= entry.min && entry.value.intValue <= entry.max,
                "int outside its bounds");
    }
}

// A list ends at its all-zero entry; with every pair needing "k=v" at least,
// a file of n bytes cannot yield more than n/3 of them.
void checkList(const DynamicEntry* list, size_t fileSize) {
    size_t pairs = 0;
    while (list != nullptr && list[pairs].keyText[0] != 0) {
        ++pairs;
        require(pairs <= fileSize / 3, "list longer than the file allows");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fileSyscalls = {MemoryOpen, MemoryStat, MemoryRead, MemorySeek, MemoryClose};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    memoryFile = {};
    memoryFile.chunk = size > 0 ? 1 + data[0] % 128 : 1;
    if (size > 0) {
        ++data;
        --size;
    }
    memoryFile.bytes = data;
    memoryFile.size = size;

    ParameterDescriptor table[std::size(kTemplate)];
    std::memcpy(table, kTemplate, sizeof table);
    int32_t resultCode = 1;
    int32_t position = -1;
    int ok = ReadKeyIni("fuzz.ini", KEYINI_READ | KEYINI_CHECK | KEYINI_FREE, table, kCount,
                        &resultCode, &position);

    require(ok == 0 || ok == 1, "result neither 1 nor 0");
    require(knownCode(resultCode), "unknown result code");
    require(memoryFile.opened == 1 && memoryFile.closed == 1, "file not closed exactly once");
    require((ok == 1) == (resultCode == KEYINI_OK), "result and result code disagree");
    if (resultCode == KEYINI_E_NOT_FOUND || resultCode == KEYINI_E_NOT_VALID) {
        require(position >= 0 && position < kCount, "check position not an index");
    } else if (resultCode != KEYINI_OK) {
        int32_t lines = 1 + static_cast<int32_t>(std::count(data, data + size, '\n'));
        require(position >= 1 && position <= lines, "line outside the file");
    }
    for (const ParameterDescriptor& entry : table) {
        checkEntry(entry);
    }

    ParameterDescriptor& list = table[9];
    if (ok == 0) {
        // A failed read or check skips the free of the same call.
        checkList(list.value.dynamicList, size);
        require(ReadKeyIni(nullptr, KEYINI_FREE, table, kCount, &resultCode, &position) == 1,
                "free alone failed");
    }
    require(list.value.dynamicList == nullptr, "freed list not null");
    return 0;
}
