// Reading speed of pelmorctl verify and records over a generated buffer file
// of 300 MB, made with the record encoder: the real program,
// its output thrown away, in bytes of buffer file per second (wall time).
#include "protocol/record.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

constexpr long long BENCH_FILE_BYTES = 300LL * 1024 * 1024;

std::string benchBufferFile;

// Sessions of 2,000 messages, 1 to 512 bytes long, some with UTF-8, quotes,
// CR LF and bytes that are not UTF-8, so every path of the decoder is taken.
void BenchWriteBufferFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::abort();
    }
    char prefix[RECORD_STAMP_AT];
    RecordEncodePrefix("192.168.001.005", 6664, prefix);
    uint32_t counter = 0;
    const std::string text = "Messwert \"Kessel 3\": 81,5 \xc2\xb0"
                             "C\r\nStatus gr\xfcn; ";
    char message[PELMOR_MESSAGE_MAX + 1];
    char record[PELMOR_DISK_RECORD_LENGTH + 1];
    for (long long n = 0; n * PELMOR_DISK_RECORD_LENGTH < BENCH_FILE_BYTES; ++n) {
        if (n % 2000 == 0) {
            counter = 0;
        }
        const std::size_t length = static_cast<std::size_t>(n * 37 % PELMOR_MESSAGE_MAX) + 1;
        for (std::size_t i = 0; i < length; ++i) {
            message[i] = text[i % text.size()];
        }
        message[length] = '\0';
        counter = counter < RECORD_COUNTER_MAX ? counter + 1 : 0;
        RecordEncode(prefix, "20260507143005", counter, message, record);
        std::fwrite(record, 1, PELMOR_DISK_RECORD_LENGTH, file);
    }
    if (std::fclose(file) != 0) {
        std::abort();
    }
}

// Runs pelmorctl with its standard output on /dev/null; its exit code.
int BenchRunPelmorctl(std::vector<std::string> words) {
    words.insert(words.begin(), PELMORCTL_BIN);
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    int status = -1;
    if (posix_spawn(&child, PELMORCTL_BIN, &actions, nullptr, argv.data(), environ) == 0) {
        waitpid(child, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BenchPelmorctl(benchmark::State& state, std::vector<std::string> words) {
    words.insert(words.begin() + 1, benchBufferFile);
    for (auto _ : state) {
        if (BenchRunPelmorctl(words) != 0) {
            state.SkipWithError("pelmorctl did not end with 0");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(std::filesystem::file_size(benchBufferFile)));
}

BENCHMARK_CAPTURE(BenchPelmorctl, Verify, {"verify"})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BenchPelmorctl, RecordsJson, {"records", "--json"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BenchPelmorctl, RecordsCsv, {"records", "--csv"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BenchPelmorctl, RecordsText, {"records"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    benchBufferFile =
        (folder / ("buffer-tools-bench-" + std::to_string(getpid()) + ".buf")).string();
    BenchWriteBufferFile(benchBufferFile);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(benchBufferFile);
    return 0;
}
