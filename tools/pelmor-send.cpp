// pelmor-send: sends messages to the receiver and shows each acknowledgement;
// with --count a load generator that reports throughput and latency.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "protocol/decimal.h"
#include "protocol/wire.h"
#include "tools/client_socket.h"

namespace {

constexpr int SEND_EXIT_ALL_STORED = 0;
constexpr int SEND_EXIT_NOT_STORED = 1;
constexpr int SEND_EXIT_USAGE = 2;
constexpr std::size_t SEND_MESSAGE_MAX = PELMOR_MESSAGE_MAX;
constexpr int SEND_ACK_TIMEOUT_SECONDS = 30;
// The help and the refusals name these in their texts.
static_assert(PELMOR_MESSAGE_MAX == 512 && PELMOR_DEFAULT_PORT == 6664 && PELMOR_SESSION_END == 'X',
              "pelmor-send's texts name the limit, the port and the end byte");

struct SendOptions {
    std::string host = "127.0.0.1";
    std::string port = PELMOR_DEFAULT_PORT_TEXT;
    long count = 0; // 0: not the load mode
    long size = 100;
    std::vector<std::string> messages;
};

void SendUsage(std::FILE* out) {
    std::fputs("Aufruf: pelmor-send [--host H] [--port P] [NACHRICHT...]\n"
               "        pelmor-send [--host H] [--port P] --count N [--size S]\n"
               "\n"
               "Sendet jede NACHRICHT (ohne Argumente jede Zeile der Standardeingabe) als\n"
               "eine Nachricht an den Empfaenger, wartet auf das Quittungsbyte und zeigt es\n"
               "(\"1\" gespeichert, \"2\" nicht gespeichert). Zum Schluss wird \"X\" gesendet.\n"
               "Eine Nachricht hat 1 bis 512 Bytes und beginnt nicht mit \"X\".\n"
               "\n"
               "  --host H    Adresse des Empfaengers (Vorgabe 127.0.0.1)\n"
               "  --port P    Port des Empfaengers (Vorgabe 6664)\n"
               "  --count N   Lastbetrieb: N Nachrichten ueber eine Verbindung, jede wartet\n"
               "              auf ihre Quittung; zeigt Nachrichten pro Sekunde und die\n"
               "              Quittungszeit p50/p99 in Mikrosekunden\n"
               "  --size S    Laenge jeder Nachricht im Lastbetrieb, 1 bis 512 (Vorgabe 100)\n"
               "  --help      diese Hilfe\n"
               "  --version   zeigt die Version\n"
               "\n"
               "Rueckgabe: 0 wenn jede Nachricht \"1\" erhielt, 1 sonst, 2 bei falschem\n"
               "Aufruf oder ohne Verbindung.\n",
               out);
}

bool SendParseNumber(const char* text, long min, long max, long* value) {
    int64_t parsed = 0;
    if (!DecimalParse(text, std::strlen(text), max, &parsed) || parsed < min) {
        return false;
    }
    *value = static_cast<long>(parsed);
    return true;
}

// 1 parsed, 0 --help or --version shown, -1 bad call (message printed).
int SendParseArguments(int argc, char** argv, SendOptions* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--help") {
            SendUsage(stdout);
            return 0;
        }
        if (argument == "--version") {
            std::puts("pelmor-send " PELMOR_VERSION);
            return 0;
        }
        if (argument == "--host" && hasValue) {
            options->host = argv[++i];
        } else if (argument == "--port" && hasValue) {
            long port = 0;
            if (!SendParseNumber(argv[++i], 1, 65535, &port)) {
                std::fprintf(stderr, "pelmor-send: ungueltiger Port: %s\n", argv[i]);
                return -1;
            }
            options->port = std::to_string(port);
        } else if (argument == "--count" && hasValue) {
            if (!SendParseNumber(argv[++i], 1, 100000000, &options->count)) {
                std::fprintf(stderr, "pelmor-send: ungueltige Anzahl: %s\n", argv[i]);
                return -1;
            }
        } else if (argument == "--size" && hasValue) {
            if (!SendParseNumber(argv[++i], 1, SEND_MESSAGE_MAX, &options->size)) {
                std::fprintf(stderr, "pelmor-send: ungueltige Groesse (1..512): %s\n", argv[i]);
                return -1;
            }
        } else if (argument.rfind("--", 0) == 0) {
            std::fprintf(stderr, "pelmor-send: unbekannte oder unvollstaendige Option: %s\n",
                         argv[i]);
            SendUsage(stderr);
            return -1;
        } else {
            options->messages.push_back(argument);
        }
    }
    if (options->count > 0 && !options->messages.empty()) {
        std::fputs("pelmor-send: --count sendet eigene Nachrichten, keine Argumente\n", stderr);
        return -1;
    }
    return 1;
}

// The acknowledgement byte, or 0 when none came.
char SendMessage(int fd, const std::string& message) {
    if (!ClientSend(fd, message.data(), message.size())) {
        return 0;
    }
    const int acknowledgement = ClientReceiveByte(fd);
    return acknowledgement < 0 ? '\0' : static_cast<char>(acknowledgement);
}

// Why a message cannot go out as one message, or nullptr when it can.
const char* SendRefusal(const std::string& message) {
    if (message.empty()) {
        return "leere Nachricht wird nicht gesendet";
    }
    if (message.size() > SEND_MESSAGE_MAX) {
        return "Nachricht laenger als 512 Bytes wird nicht gesendet";
    }
    if (message[0] == PELMOR_SESSION_END) {
        return "Nachricht mit \"X\" am Anfang wuerde die Sitzung beenden, nicht gesendet";
    }
    return nullptr;
}

void SendEnd(int fd) {
    ClientSend(fd, &PELMOR_SESSION_END, 1);
    ClientClose(fd);
}

int SendInteractive(int fd, const SendOptions& options) {
    std::vector<std::string> messages = options.messages;
    if (messages.empty()) {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            messages.push_back(line);
        }
    }
    bool allStored = true;
    for (const std::string& message : messages) {
        if (const char* refusal = SendRefusal(message)) {
            std::fprintf(stderr, "pelmor-send: %s\n", refusal);
            allStored = false;
            continue;
        }
        const char acknowledgement = SendMessage(fd, message);
        if (acknowledgement == 0) {
            std::puts("keine Quittung (Verbindung beendet)");
            ClientClose(fd);
            return SEND_EXIT_NOT_STORED;
        }
        std::printf("%c\n", acknowledgement);
        allStored = allStored && acknowledgement == PELMOR_ACK_STORED;
    }
    SendEnd(fd);
    return allStored ? SEND_EXIT_ALL_STORED : SEND_EXIT_NOT_STORED;
}

// A load message: its number, then dots to the size; never begins with the
// end byte.
std::string SendLoadMessage(long number, long size) {
    std::string message = std::to_string(number);
    message.resize(static_cast<std::size_t>(size), '.');
    return message;
}

int SendLoad(int fd, const SendOptions& options) {
    using Clock = std::chrono::steady_clock;
    std::vector<int64_t> latencies;
    latencies.reserve(static_cast<std::size_t>(options.count));
    long stored = 0;
    const Clock::time_point start = Clock::now();
    for (long i = 1; i <= options.count; ++i) {
        const std::string message = SendLoadMessage(i, options.size);
        const Clock::time_point sent = Clock::now();
        const char acknowledgement = SendMessage(fd, message);
        latencies.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count());
        if (acknowledgement != PELMOR_ACK_STORED) {
            std::fprintf(stderr, "pelmor-send: Nachricht %ld: %s\n", i,
                         acknowledgement == 0 ? "keine Quittung" : "Quittung 2");
            break;
        }
        ++stored;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    SendEnd(fd);

    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&latencies](double share) -> long long {
        const std::size_t index =
            static_cast<std::size_t>(share * static_cast<double>(latencies.size() - 1));
        return static_cast<long long>(latencies[index]);
    };
    std::printf("%ld Nachrichten zu %ld Bytes in %.3f s: %.0f Nachrichten/s, "
                "Quittung p50 %lld us, p99 %lld us\n",
                stored, options.size, seconds,
                seconds > 0 ? static_cast<double>(stored) / seconds : 0.0, percentile(0.50),
                percentile(0.99));
    return stored == options.count ? SEND_EXIT_ALL_STORED : SEND_EXIT_NOT_STORED;
}

} // namespace

int main(int argc, char** argv) {
    SendOptions options;
    const int parsed = SendParseArguments(argc, argv, &options);
    if (parsed <= 0) {
        return parsed == 0 ? SEND_EXIT_ALL_STORED : SEND_EXIT_USAGE;
    }
    char why[CLIENT_WHY_SIZE] = "";
    const int fd =
        ClientConnect(options.host.c_str(), options.port.c_str(), SEND_ACK_TIMEOUT_SECONDS, why);
    if (fd < 0) {
        std::fprintf(stderr, "pelmor-send: %s\n", why);
        return SEND_EXIT_USAGE;
    }
    return options.count > 0 ? SendLoad(fd, options) : SendInteractive(fd, options);
}
