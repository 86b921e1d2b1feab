// The stream side of bench/ship-bench: how many messages a stream holds,
// how long until it holds a number, and the latency from the receiver's
// "1" to the record's arrival from the stream.
//   ship_probe wait URLS STREAM TARGET SECONDS
//       prints the seconds until the count first grew and until it reached TARGET
//   ship_probe latency URLS STREAM PORT MESSAGES GAP_US
//       sends MESSAGES through the receiver on PORT, one every GAP_US, and
//       prints p50 and p99 in microseconds from each "1" to the record's
//       delivery by an ordered consumer of the stream (after it is stored)
//   ship_probe bare URLS STREAM REPLICAS COUNT WINDOW
//       the yardstick for the shipper: libnats alone publishing COUNT records
//       of the shipper's size, with ids and headers of its form, WINDOW in
//       flight, into a stream of its own made anew; prints records/s as
//       wait takes them (from the count's first growth until it holds all),
//       and its processor time per record in microseconds
//   ship_probe follow URLS STREAM PORT COUNT
//       one client sends COUNT messages of 100 bytes through the receiver on
//       PORT as fast as it gets its "1"s, while the stream's count is
//       sampled every 100 ms; prints the receiver's rate, the rate until the
//       stream holds them all, the backlog's peak and its value when the
//       last "1" came, whether it grows ("ja": then above twice the largest
//       of the first half of the sending), then the backlog (acknowledged,
//       not yet in the stream) at every sample
//   ship_probe drop URLS STREAM
//       deletes the stream (a bare one measured, so the servers carry no more)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <nats/nats.h>

#include "protocol/record.h"
#include "protocol/wire.h"
#include "client/client_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

natsConnection* Connection = nullptr;
jsCtx* Js = nullptr;

// Servers just started may take a moment: up to 20 s of tries.
bool Connect(const char* urls) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (natsConnection_ConnectTo(&Connection, urls) == NATS_OK) {
            return natsConnection_JetStream(&Js, Connection, nullptr) == NATS_OK;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

uint64_t Count(const char* stream) {
    jsStreamInfo* info = nullptr;
    uint64_t count = 0;
    if (js_GetStreamInfo(&info, Js, stream, nullptr, nullptr) == NATS_OK) {
        count = info->State.Msgs;
        jsStreamInfo_Destroy(info);
    }
    return count;
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls the stream's count every 5 ms: the seconds until it first grew and
// until it reached target; false when seconds passed first.
bool WaitFor(const char* stream, uint64_t target, double seconds, double* grewAt, double* doneAt) {
    const Clock::time_point start = Clock::now();
    const uint64_t first = Count(stream);
    double grew = -1;
    while (Since(start) < seconds) {
        const uint64_t count = Count(stream);
        if (grew < 0 && count > first) {
            grew = Since(start);
        }
        if (count >= target) {
            *grewAt = grew < 0 ? 0.0 : grew;
            *doneAt = Since(start);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int Wait(const char* stream, uint64_t target, double seconds) {
    double grew = 0;
    double done = 0;
    if (WaitFor(stream, target, seconds, &grew, &done)) {
        std::printf("%.3f %.3f\n", grew, done);
        return 0;
    }
    std::printf("zeit abgelaufen bei %llu\n", static_cast<unsigned long long>(Count(stream)));
    return 1;
}

std::mutex Lock;
std::map<int, Clock::time_point> Arrived;

void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void*) {
    const Clock::time_point now = Clock::now();
    if (natsMsg_GetDataLength(msg) == PELMOR_DISK_RECORD_LENGTH) {
        const char* message = natsMsg_GetData(msg) + RECORD_MESSAGE_AT;
        if (std::strncmp(message, "lat-", 4) == 0) {
            std::lock_guard<std::mutex> guard(Lock);
            Arrived.emplace(std::atoi(message + 4), now);
        }
    }
    natsMsg_Destroy(msg);
}

// The receiver on 127.0.0.1, by the tools' client; -1 when it is not there.
int ConnectReceiver(int port) {
    char why[CLIENT_WHY_SIZE] = "";
    return ClientConnect("127.0.0.1", std::to_string(port).c_str(), 30, why);
}

int Latency(const char* stream, int port, int messages, int gapMicros) {
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = stream;
    options.Ordered = true;
    options.Config.DeliverPolicy = js_DeliverNew;
    natsSubscription* subscription = nullptr;
    if (js_Subscribe(&subscription, Js, "pelmor.records", OnMessage, nullptr, nullptr, &options,
                     nullptr) != NATS_OK) {
        std::puts("kein Abonnement");
        return 1;
    }
    int fd = -1;
    std::vector<Clock::time_point> acknowledged(static_cast<size_t>(messages));
    for (int i = 0; i < messages; ++i) {
        if (i % 900 == 0) { // a session ends before its counter wraps
            if (fd >= 0) {
                ClientSend(fd, &PELMOR_SESSION_END, 1);
                ClientClose(fd);
            }
            fd = ConnectReceiver(port);
            if (fd < 0) {
                std::puts("keine Verbindung zum Empfaenger");
                return 1;
            }
        }
        const std::string text = "lat-" + std::to_string(i) + " ";
        if (!ClientSend(fd, text.data(), text.size()) ||
            ClientReceiveByte(fd) != PELMOR_ACK_STORED) {
            std::puts("keine Quittung");
            return 1;
        }
        acknowledged[static_cast<size_t>(i)] = Clock::now();
        std::this_thread::sleep_for(std::chrono::microseconds(gapMicros));
    }
    const Clock::time_point start = Clock::now();
    while (Since(start) < 30) {
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (static_cast<int>(Arrived.size()) >= messages) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<double> micros;
    std::lock_guard<std::mutex> guard(Lock);
    for (const auto& [index, when] : Arrived) {
        if (index < messages) {
            micros.push_back(std::chrono::duration<double, std::micro>(
                                 when - acknowledged[static_cast<size_t>(index)])
                                 .count());
        }
    }
    if (micros.empty()) {
        std::puts("nichts angekommen");
        return 1;
    }
    std::sort(micros.begin(), micros.end());
    std::printf("%.0f %.0f %zu\n", micros[micros.size() / 2], micros[micros.size() * 99 / 100],
                micros.size());
    return 0;
}

std::atomic<int64_t> BareFailed{0};

void OnBareAck(jsCtx*, natsMsg* msg, jsPubAck*, jsPubAckErr* failure, void*) {
    if (failure != nullptr) {
        ++BareFailed;
    }
    natsMsg_Destroy(msg);
}

int Bare(const char* stream, int replicas, int64_t count, int window) {
    const std::string subject = std::string("bare.") + stream;
    js_DeleteStream(Js, stream, nullptr, nullptr);
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char* subjects[] = {subject.c_str()};
    config.Name = stream;
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.Replicas = replicas;
    config.Duplicates = static_cast<int64_t>(600) * 1000000000;
    if (js_AddStream(nullptr, Js, &config, nullptr, nullptr) != NATS_OK) {
        std::puts("kein Stream");
        return 1;
    }
    jsOptions options;
    jsOptions_Init(&options);
    options.PublishAsync.AckHandler = OnBareAck;
    options.PublishAsync.MaxPending = window;
    options.PublishAsync.StallWait = 5000;
    jsCtx* js = nullptr;
    if (natsConnection_JetStream(&js, Connection, &options) != NATS_OK) {
        return 1;
    }
    std::vector<char> record(PELMOR_DISK_RECORD_LENGTH, 'x');
    // Taken as the shipper's is: by the stream's count, polled from the start.
    double grew = 0;
    double stored = 0;
    bool counted = false;
    std::thread poller(
        [&] { counted = WaitFor(stream, static_cast<uint64_t>(count), 600, &grew, &stored); });
    for (int64_t i = 0; i < count; ++i) {
        char id[160];
        std::snprintf(id, sizeof id, "bench:0123456789abcdef0123456789abcdef:1:%lld",
                      static_cast<long long>(i));
        natsMsg* msg = nullptr;
        jsPubOptions publish;
        jsPubOptions_Init(&publish);
        publish.MaxWait = 5000; // as the shipper publishes
        if (natsMsg_Create(&msg, subject.c_str(), nullptr, record.data(),
                           static_cast<int>(record.size())) != NATS_OK ||
            natsMsgHeader_Set(msg, "Nats-Msg-Id", id) != NATS_OK ||
            natsMsgHeader_Set(msg, "Pelmor-Quelle", "bench") != NATS_OK ||
            js_PublishMsgAsync(js, &msg, &publish) != NATS_OK) {
            natsMsg_Destroy(msg);
            ++BareFailed;
        }
    }
    jsPubOptions complete;
    jsPubOptions_Init(&complete);
    complete.MaxWait = 60000;
    const bool done = js_PublishAsyncComplete(js, &complete) == NATS_OK;
    poller.join();
    jsCtx_Destroy(js);
    if (!done || !counted || stored <= grew || BareFailed != 0) {
        std::printf("fehlgeschlagen: %lld\n", static_cast<long long>(BareFailed.load()));
        return 1;
    }
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    const double cpu = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) * 1e6 +
                       static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec);
    std::printf("%.0f %.1f\n", static_cast<double>(count) / (stored - grew),
                cpu / static_cast<double>(count));
    return 0;
}

// The receiver taking messages as fast as one client sends them, and how
// far the stream lags behind it.
int Follow(const char* stream, int port, int64_t count) {
    const uint64_t base = Count(stream);
    std::atomic<int64_t> acknowledged{0};
    std::atomic<bool> failed{false};
    const Clock::time_point start = Clock::now();
    double sent = 0;
    std::thread sender([&] {
        const std::string text =
            "follow " + std::string(93, 'f'); // 100 bytes, as pelmor-send --size 100
        int fd = -1;
        for (int64_t i = 0; i < count && !failed; ++i) {
            if (i % 900 == 0) { // a session ends before its counter wraps
                if (fd >= 0) {
                    ClientSend(fd, &PELMOR_SESSION_END, 1);
                    ClientClose(fd);
                }
                fd = ConnectReceiver(port);
            }
            if (fd < 0 || !ClientSend(fd, text.data(), text.size()) ||
                ClientReceiveByte(fd) != PELMOR_ACK_STORED) {
                failed = true;
                break;
            }
            ++acknowledged;
        }
        if (fd >= 0) {
            ClientSend(fd, &PELMOR_SESSION_END, 1);
            ClientClose(fd);
        }
        sent = Since(start);
    });
    std::vector<int64_t> backlog;
    int64_t peak = 0;
    int64_t atLast = -1;
    size_t sending = 0; // samples taken while "1"s still came, the one after the last included
    double done = -1;
    while (!failed && Since(start) < 600) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int64_t acked = acknowledged.load();
        const int64_t stored = static_cast<int64_t>(Count(stream) - base);
        backlog.push_back(std::max<int64_t>(acked - stored, 0));
        peak = std::max(peak, backlog.back());
        if (atLast < 0 && acked == count) {
            atLast = backlog.back();
            sending = backlog.size();
        }
        if (stored >= count) {
            done = Since(start);
            break;
        }
    }
    sender.join();
    if (failed || done < 0) {
        std::puts("fehlgeschlagen");
        return 1;
    }
    // Growing: the backlog when the last "1" came above twice the largest
    // of the first half of the sending, and more than a window or two.
    int64_t early = 0;
    for (size_t i = 0; i < sending / 2; ++i) {
        early = std::max(early, backlog[i]);
    }
    const bool grows = sending >= 4 && atLast > 2 * early + 1024;
    std::printf("%.0f %.0f %lld %lld %s\n", static_cast<double>(count) / sent,
                static_cast<double>(count) / done, static_cast<long long>(peak),
                static_cast<long long>(atLast), grows ? "ja" : "nein");
    for (const int64_t one : backlog) {
        std::printf("%lld ", static_cast<long long>(one));
    }
    std::puts("");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || !Connect(argv[2])) {
        std::fputs("Aufruf: ship_probe wait|latency|bare|follow|drop URLS STREAM ...\n", stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "wait") == 0 && argc == 6) {
        return Wait(argv[3], std::strtoull(argv[4], nullptr, 10), std::atof(argv[5]));
    }
    if (std::strcmp(argv[1], "latency") == 0 && argc == 7) {
        return Latency(argv[3], std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
    }
    if (std::strcmp(argv[1], "follow") == 0 && argc == 6) {
        return Follow(argv[3], std::atoi(argv[4]), std::atoll(argv[5]));
    }
    if (std::strcmp(argv[1], "drop") == 0 && argc == 4) {
        return js_DeleteStream(Js, argv[3], nullptr, nullptr) == NATS_OK ? 0 : 1;
    }
    if (std::strcmp(argv[1], "bare") == 0 && argc == 7) {
        return Bare(argv[3], std::atoi(argv[4]), std::atoll(argv[5]), std::atoi(argv[6]));
    }
    return 2;
}
