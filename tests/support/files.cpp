#include "support/files.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

std::string SupportMakeFolder() {
    // create_directory fails on a name that exists, so a clash is retried.
    static std::atomic<unsigned> serial{0};
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("pelmor-test-" + std::to_string(seed()) + "-" + std::to_string(++serial));
        std::error_code error;
        if (std::filesystem::create_directory(path, error)) {
            return path.string();
        }
    }
    return "";
}

void SupportRemoveFolder(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string SupportReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
