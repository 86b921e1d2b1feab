// Reading speed of the KEYINI reader over generated parameter files of 1 MB
// and 10 MB: (a) sections of unknown groups, all skipped, (b) key lines of
// one known group, (c) one DYNAMIC section. Bytes per second, and the
// complexity fit over the file size to show the cost is linear.
#include "paramfile/keyini.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <string>

namespace {

enum BenchFileKind { SKIPPED_SECTIONS, KNOWN_KEY_LINES, DYNAMIC_SECTION };

const char* const benchKeys[] = {"UPLPORT",  "BUFFDATEI", "LOGDATEI", "MAXLOGSIZE",
                                 "ERRLEVEL", "TIMEOUT",   "RETRIES",  "INTERVAL"};

std::filesystem::path BenchFolder() {
    static std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "keyini-bench-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return std::filesystem::path(pattern);
    }();
    return folder;
}

std::string Generate(BenchFileKind kind, size_t size) {
    std::string text = "KEYINI\r\n/* generated for the reader benchmark */\r\n";
    if (kind == KNOWN_KEY_LINES) {
        text += "[PELMOR]\r\n";
    } else if (kind == DYNAMIC_SECTION) {
        text += "[LISTE]\r\nDYNAMIC\r\n";
    }
    char line[128];
    for (long n = 0; text.size() < size; ++n) {
        if (kind == SKIPPED_SECTIONS) {
            if (n % 8 == 0) {
                std::snprintf(line, sizeof line, "[FREMD%07ld]\r\n", n / 8);
                text += line;
            }
            std::snprintf(line, sizeof line, "SCHLUESSEL%ld = Wert_%07ld\r\n", n % 8, n);
        } else if (kind == KNOWN_KEY_LINES) {
            std::snprintf(line, sizeof line, "%s = %ld\r\n", benchKeys[n % 8], n % 1000);
        } else {
            std::snprintf(line, sizeof line, "Eintrag%07ld = Wert_%07ld\r\n", n, n);
        }
        text += line;
    }
    return text;
}

// Writes each generated file once and keeps its path.
const std::string& BenchFile(BenchFileKind kind, size_t size) {
    static std::map<std::pair<int, size_t>, std::string> files;
    std::string& path = files[{kind, size}];
    if (path.empty()) {
        path =
            (BenchFolder() / ("bench" + std::to_string(kind) + "_" + std::to_string(size) + ".ini"))
                .string();
        std::string text = Generate(kind, size);
        std::ofstream(path, std::ios::binary)
            .write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    return path;
}

void ReadBench(benchmark::State& state, BenchFileKind kind) {
    size_t size = static_cast<size_t>(state.range(0));
    const std::string& path = BenchFile(kind, size);
    ParameterDescriptor table[9] = {};
    for (int i = 0; i < 8; ++i) {
        table[i].groupToken = "PELMOR";
        table[i].paramToken = benchKeys[i];
        table[i].type = TYPINT;
        table[i].max = 1e9;
    }
    table[8].groupToken = "LISTE";
    table[8].paramToken = "EINTRAEGE";
    table[8].type = TYPDYN;
    for (auto _ : state) {
        int32_t code = 0;
        int32_t position = 0;
        if (!ReadKeyIni(path.c_str(), KEYINI_READ | KEYINI_FREE, table, 9, &code, &position)) {
            state.SkipWithError("reading failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(std::filesystem::file_size(path)));
    state.SetComplexityN(static_cast<int64_t>(size));
}

void BM_ReadSkippedSections(benchmark::State& state) {
    ReadBench(state, SKIPPED_SECTIONS);
}
void BM_ReadKnownKeyLines(benchmark::State& state) {
    ReadBench(state, KNOWN_KEY_LINES);
}
void BM_ReadDynamicSection(benchmark::State& state) {
    ReadBench(state, DYNAMIC_SECTION);
}

constexpr int64_t ONE_MB = 1 << 20;

BENCHMARK(BM_ReadSkippedSections)
    ->Arg(ONE_MB)
    ->Arg(10 * ONE_MB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ReadKnownKeyLines)
    ->Arg(ONE_MB)
    ->Arg(10 * ONE_MB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ReadDynamicSection)
    ->Arg(ONE_MB)
    ->Arg(10 * ONE_MB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

} // namespace

int main(int argc, char** argv) {
    // A fixed threshold keeps the allocator from learning across iterations:
    // otherwise the small files' lists would reuse warm memory while the
    // large ones always get fresh pages, and the sizes would not compare.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(BenchFolder());
    return 0;
}
