#include "keyini_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

// One temporary folder per test program, removed when the program ends.
class TestFolder : public ::testing::Environment {
  public:
    void TearDown() override {
        if (!path.empty()) {
            std::filesystem::remove_all(path);
        }
    }
    std::string path;
    int files = 0;
};

TestFolder* folder = static_cast<TestFolder*>(::testing::AddGlobalTestEnvironment(new TestFolder));

const std::string& FolderPath() {
    if (folder->path.empty()) {
        // A new folder of our own on every platform: another random name
        // when one exists already.
        std::random_device random;
        for (int attempt = 0; attempt < 100 && folder->path.empty(); ++attempt) {
            const std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                                    ("keyini-test-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                folder->path = candidate.string();
            }
        }
        if (folder->path.empty()) {
            std::abort();
        }
    }
    return folder->path;
}

} // namespace

std::string WriteTestFile(const std::string& bytes) {
    std::string path = FolderPath() + "/file" + std::to_string(++folder->files) + ".ini";
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    EXPECT_TRUE(out.good()) << path;
    return path;
}

ParameterDescriptor MakeEntry(const char* group, const char* key, int32_t type, double min,
                              double max, const char* defaultValue) {
    ParameterDescriptor entry{};
    entry.groupToken = group;
    entry.paramToken = key;
    entry.type = type;
    entry.min = min;
    entry.max = max;
    entry.defaultValue = defaultValue;
    entry.comment = "";
    return entry;
}

ReadOutcome ReadBytes(const std::string& bytes, ParameterDescriptor* table, int32_t count,
                      uint32_t flags) {
    std::string path = WriteTestFile(bytes);
    ReadOutcome outcome{-1, -99, -99};
    outcome.returned =
        ReadKeyIni(path.c_str(), flags, table, count, &outcome.resultCode, &outcome.position);
    return outcome;
}
