// Concurrent clients for bench/scaling: K sessions at once, each sending N
// messages and waiting for every acknowledgement; optionally one trickling
// client that takes its session first and sends one message a second for a
// while. Prints the aggregate rate and the latency of all messages together:
//   KLIENTEN <K> NACHRICHTEN <total> SEKUNDEN <s> RATE <msgs/s> P50 <us> P99 <us> MAX <us>
// Usage: pelmor-bench-clients PORT CLIENTS MESSAGES [TRICKLE_SECONDS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "client/client_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int BENCH_READ_TIMEOUT_SECONDS = 120;
constexpr std::size_t BENCH_MESSAGE_SIZE = 100;
constexpr int BENCH_CLIENTS_MAX = 64;
constexpr long BENCH_MESSAGES_MAX = 10000000;
constexpr long BENCH_TRICKLE_MAX = 600;

// One message and its acknowledgement; false unless it came back "1".
bool BenchExchange(int connection, const std::string& message) {
    return ClientSend(connection, message.data(), message.size()) &&
           ClientReceiveByte(connection) == PELMOR_ACK_STORED;
}

void BenchEnd(int connection) {
    ClientSend(connection, &PELMOR_SESSION_END, 1);
    ClientClose(connection);
}

// A session of count messages; the latency of each in microseconds into
// latencies. false when the connection or an acknowledgement failed.
bool BenchSession(const char* port, int client, long count, std::vector<int64_t>* latencies) {
    char why[CLIENT_WHY_SIZE] = "";
    const int connection = ClientConnect("127.0.0.1", port, BENCH_READ_TIMEOUT_SECONDS, why);
    if (connection < 0) {
        std::fprintf(stderr, "pelmor-bench-clients: %s\n", why);
        return false;
    }
    std::string message = "k" + std::to_string(client) + "-";
    message.resize(BENCH_MESSAGE_SIZE, '.');
    for (long i = 0; i < count; ++i) {
        const Clock::time_point sent = Clock::now();
        if (!BenchExchange(connection, message)) {
            ClientClose(connection);
            return false;
        }
        latencies->push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count());
    }
    BenchEnd(connection);
    return true;
}

long BenchNumber(const char* text, long min, long max) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= min && value <= max ? value : -1;
}

} // namespace

int main(int argc, char** argv) {
    const long clients = argc >= 4 ? BenchNumber(argv[2], 1, BENCH_CLIENTS_MAX) : -1;
    const long count = argc >= 4 ? BenchNumber(argv[3], 1, BENCH_MESSAGES_MAX) : -1;
    const long trickle = argc == 5 ? BenchNumber(argv[4], 1, BENCH_TRICKLE_MAX) : 0;
    if (clients < 0 || count < 0 || trickle < 0 || argc > 5) {
        std::fputs("Aufruf: pelmor-bench-clients PORT KLIENTEN NACHRICHTEN [TROEPFELSEKUNDEN]\n",
                   stderr);
        return 2;
    }
    const char* port = argv[1];

    // The trickler takes its session before the others start, then sends a
    // message a second, a gap well inside the receiver's TIMEOUT.
    int trickler = -1;
    if (trickle > 0) {
        char why[CLIENT_WHY_SIZE] = "";
        trickler = ClientConnect("127.0.0.1", port, BENCH_READ_TIMEOUT_SECONDS, why);
        if (trickler < 0 || !BenchExchange(trickler, "tropfen")) {
            std::fputs("pelmor-bench-clients: Tropfer ohne Quittung\n", stderr);
            return 1;
        }
    }
    const Clock::time_point trickleEnd = Clock::now() + std::chrono::seconds(trickle);
    std::thread trickling([&] {
        if (trickler < 0) {
            return;
        }
        while (Clock::now() < trickleEnd) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (!BenchExchange(trickler, "tropfen")) {
                std::fputs("pelmor-bench-clients: Tropfer ohne Quittung\n", stderr);
                break;
            }
        }
        BenchEnd(trickler);
    });

    std::vector<std::vector<int64_t>> latencies(static_cast<std::size_t>(clients));
    std::atomic<int> failed{0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> sessions;
    for (long c = 0; c < clients; ++c) {
        sessions.emplace_back([&, c] {
            if (!BenchSession(port, static_cast<int>(c), count, &latencies[c])) {
                failed++;
            }
        });
    }
    for (std::thread& session : sessions) {
        session.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    trickling.join();

    std::vector<int64_t> all;
    for (const std::vector<int64_t>& own : latencies) {
        all.insert(all.end(), own.begin(), own.end());
    }
    if (failed > 0 || all.empty()) {
        std::fprintf(stderr, "pelmor-bench-clients: %d Sitzungen gescheitert\n", failed.load());
        return 1;
    }
    std::sort(all.begin(), all.end());
    const auto at = [&all](double share) {
        return static_cast<long long>(
            all[static_cast<std::size_t>(share * static_cast<double>(all.size() - 1))]);
    };
    std::printf("KLIENTEN %ld NACHRICHTEN %zu SEKUNDEN %.3f RATE %.0f P50 %lld P99 %lld MAX %lld\n",
                clients, all.size(), seconds, static_cast<double>(all.size()) / seconds, at(0.50),
                at(0.99), at(1.0));
    return 0;
}
