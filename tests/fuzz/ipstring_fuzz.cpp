// Arbitrary text in the 16-byte address field, rewritten in place. The field
// is its own heap block, so a read or write past it is a sanitizer report.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "records.h"

namespace {

constexpr size_t kFieldSize = sizeof(ReceiverContext{}.localIP);

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_ipstring: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> field(new char[kFieldSize]);
    std::memset(field.get(), 0, kFieldSize);
    std::memcpy(field.get(), data, size < kFieldSize - 1 ? size : kFieldSize - 1);

    FormatIPString(field.get());

    // Four parts of three digits each, whatever came in.
    require(std::strlen(field.get()) == kFieldSize - 1, "not 15 characters");
    for (size_t i = 0; i < kFieldSize - 1; ++i) {
        bool dot = i % 4 == 3;
        require(dot ? field[i] == '.' : std::isdigit(static_cast<unsigned char>(field[i])) != 0,
                "not ddd.ddd.ddd.ddd");
    }
    for (size_t part = 0; part < 4; ++part) {
        require(std::atoi(field.get() + part * 4) <= 255, "part above 255");
    }
    return 0;
}
