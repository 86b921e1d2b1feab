// A RELP client for bench/run that does what pelmor-send --count does to the
// receiver: one message, then wait for its answer ("rsp" 200) before the
// next; the same figures printed the same way. It speaks the frames itself:
// a library client keeps several transactions open whatever its window.
// Usage: pelmor-bench-relp --port P --count N --size S
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t RELP_HEADER_MAX = 64; // "TXNR SP COMMAND SP DATALEN SP"
constexpr long RELP_DATA_MAX = 128 * 1024;

// The frames the server sends, read through one buffer.
struct RelpReader {
    int fd;
    char buffer[4096];
    std::size_t begin;
    std::size_t end;
};

// The next byte from the server, or -1 when it closed or failed.
int RelpByte(RelpReader* reader) {
    if (reader->begin == reader->end) {
        const ssize_t got = recv(reader->fd, reader->buffer, sizeof reader->buffer, 0);
        if (got <= 0) {
            return -1;
        }
        reader->begin = 0;
        reader->end = static_cast<std::size_t>(got);
    }
    return static_cast<unsigned char>(reader->buffer[reader->begin++]);
}

// One word of the header, up to its blank (or the trailer after a length 0).
bool RelpWord(RelpReader* reader, std::string* word) {
    word->clear();
    for (;;) {
        const int c = RelpByte(reader);
        if (c < 0 || word->size() > RELP_HEADER_MAX) {
            return false;
        }
        if (c == ' ' || c == '\n') {
            return true;
        }
        word->push_back(static_cast<char>(c));
    }
}

// Reads one frame; true when it is the answer "rsp" to transaction txnr with
// the code 200.
bool RelpAnswer(RelpReader* reader, long txnr) {
    std::string number;
    std::string command;
    std::string length;
    if (!RelpWord(reader, &number) || !RelpWord(reader, &command) || !RelpWord(reader, &length)) {
        return false;
    }
    const long bytes = std::strtol(length.c_str(), nullptr, 10);
    if (bytes < 0 || bytes > RELP_DATA_MAX) {
        return false;
    }
    std::string data;
    for (long i = 0; i < bytes; ++i) {
        const int c = RelpByte(reader);
        if (c < 0) {
            return false;
        }
        data.push_back(static_cast<char>(c));
    }
    if (bytes > 0 && RelpByte(reader) != '\n') {
        return false;
    }
    return std::strtol(number.c_str(), nullptr, 10) == txnr && command == "rsp" &&
           data.compare(0, 3, "200") == 0;
}

bool RelpSend(int fd, long txnr, const char* command, const std::string& data) {
    const std::string frame = std::to_string(txnr) + " " + command + " " +
                              std::to_string(data.size()) + (data.empty() ? "" : " ") + data + "\n";
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t part = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (part <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(part);
    }
    return true;
}

int RelpUsage() {
    std::fputs("Aufruf: pelmor-bench-relp --port P --count N --size S\n"
               "Sendet N syslog-Nachrichten zu S Bytes ueber RELP an 127.0.0.1:P, jede\n"
               "erst nach der Antwort auf die vorige, und zeigt Nachrichten pro Sekunde\n"
               "und die Antwortzeit p50/p99 in Mikrosekunden.\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    long port = 0;
    long count = 0;
    long size = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--port") == 0) {
            port = value;
        } else if (std::strcmp(argv[i], "--count") == 0) {
            count = value;
        } else if (std::strcmp(argv[i], "--size") == 0) {
            size = value;
        }
    }
    if (argc != 7 || port <= 0 || port > 65535 || count <= 0 || size < 5 || size > 65536) {
        return RelpUsage();
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int on = 1;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        std::fputs("pelmor-bench-relp: keine Verbindung\n", stderr);
        return 2;
    }
    RelpReader reader{};
    reader.fd = fd;
    if (!RelpSend(fd, 1, "open", "relp_version=0\nrelp_software=pelmor-bench\ncommands=syslog") ||
        !RelpAnswer(&reader, 1)) {
        std::fputs("pelmor-bench-relp: Sitzung nicht geoeffnet\n", stderr);
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    // A syslog message of size bytes: priority, then filler.
    const std::string message = "<13>" + std::string(static_cast<std::size_t>(size) - 4, 'r');
    std::vector<long long> latencies;
    latencies.reserve(static_cast<std::size_t>(count));
    const Clock::time_point start = Clock::now();
    long txnr = 2;
    for (long i = 0; i < count; ++i, ++txnr) {
        const Clock::time_point sent = Clock::now();
        if (!RelpSend(fd, txnr, "syslog", message) || !RelpAnswer(&reader, txnr)) {
            std::fprintf(stderr, "pelmor-bench-relp: Nachricht %ld: keine Antwort 200\n", i + 1);
            return 1;
        }
        latencies.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The answer to "close" is read (and not judged), so the server is not
    // left writing into a closed socket.
    if (RelpSend(fd, txnr, "close", "")) {
        RelpAnswer(&reader, txnr);
    }
    close(fd);

    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&latencies](double share) {
        return latencies[static_cast<std::size_t>(share *
                                                  static_cast<double>(latencies.size() - 1))];
    };
    std::printf("%ld Nachrichten zu %ld Bytes in %.3f s: %.0f Nachrichten/s, "
                "Quittung p50 %lld us, p99 %lld us\n",
                count, size, seconds, static_cast<double>(count) / seconds, percentile(0.50),
                percentile(0.99));
    return 0;
}
