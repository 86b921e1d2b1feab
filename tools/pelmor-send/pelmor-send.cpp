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

#include "client/client_socket.h"
#include "common/exit_codes.h"
#include "common/usage.h"
#include "protocol/decimal.h"
#include "protocol/wire.h"

namespace {

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
    std::fputs("Aufruf: pelmor-send [--host H] [--port P] [--] [NACHRICHT...]\n"
               "        pelmor-send [--host H] [--port P] --count N [--size S]\n"
               "        pelmor-send -h | --help | -V | --version\n"
               "\n"
               "Sendet jede NACHRICHT als eine Nachricht an den Empfaenger, wartet auf das\n"
               "Quittungsbyte und zeigt es (\"1\" gespeichert, \"2\" nicht gespeichert). Zum\n"
               "Schluss wird \"X\" gesendet. Eine Nachricht hat 1 bis 512 Bytes und beginnt\n"
               "nicht mit \"X\". \"pelmor-send hallo welt\" sendet zwei Nachrichten.\n"
               "Ohne NACHRICHT wird jede Zeile der Standardeingabe gesendet, sobald sie\n"
               "gelesen ist; die Verbindung entsteht mit der ersten Zeile und neu, wenn der\n"
               "Empfaenger sie in einer Pause beendet hat.\n"
               "\n"
               "  --host H       Adresse des Empfaengers (Vorgabe 127.0.0.1)\n"
               "  --port P       Port des Empfaengers (Vorgabe 6664)\n"
               "  --count N      Lastbetrieb: N Nachrichten ueber eine Verbindung, jede wartet\n"
               "                 auf ihre Quittung; zeigt Nachrichten pro Sekunde und die\n"
               "                 Quittungszeit p50/p99 in Mikrosekunden\n"
               "  --size S       Laenge jeder Nachricht im Lastbetrieb, 1 bis 512 (Vorgabe 100)\n"
               "  --             beendet die Optionen: danach darf eine Nachricht mit \"-\"\n"
               "                 beginnen\n"
               "  -h, --help     diese Hilfe\n"
               "  -V, --version  zeigt die Version\n"
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
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (optionsEnded || argument.empty() || argument[0] != '-') {
            options->messages.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            SendUsage(stdout);
            return 0;
        }
        if (argument == "--version" || argument == "-V") {
            ToolShowVersion("pelmor-send");
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
        } else {
            // A message that begins with "-" comes after "--".
            std::fprintf(stderr, "pelmor-send: unbekannte oder unvollstaendige Option: %s\n",
                         argv[i]);
            SendUsage(stderr);
            return -1;
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

// The next message: the next argument, or without arguments the next line
// of standard input (a trailing CR removed) once it is read. false at the end.
bool SendNextMessage(const SendOptions& options, std::size_t* next, std::string* message) {
    if (!options.messages.empty()) {
        if (*next == options.messages.size()) {
            return false;
        }
        *message = options.messages[(*next)++];
        return true;
    }
    if (!std::getline(std::cin, *message)) {
        return false;
    }
    if (!message->empty() && message->back() == '\r') {
        message->pop_back();
    }
    return true;
}

// Each message sent as soon as it is there, so that a pause in the input
// costs nothing: the connection is made for the first message, and made
// again when the receiver ended the session while the input paused (its
// read time-out).
int SendInteractive(const SendOptions& options) {
    int fd = -1;
    bool allStored = true;
    std::size_t next = 0;
    std::string message;
    while (SendNextMessage(options, &next, &message)) {
        if (const char* refusal = SendRefusal(message)) {
            std::fprintf(stderr, "pelmor-send: %s\n", refusal);
            allStored = false;
            continue;
        }
        if (fd >= 0 && ClientPeerClosed(fd)) {
            ClientClose(fd);
            fd = -1;
        }
        if (fd < 0) {
            char why[CLIENT_WHY_SIZE] = "";
            fd = ClientConnect(options.host.c_str(), options.port.c_str(), SEND_ACK_TIMEOUT_SECONDS,
                               why);
            if (fd < 0) {
                std::fprintf(stderr, "pelmor-send: %s\n", why);
                return TOOL_EXIT_USAGE;
            }
        }
        const char acknowledgement = SendMessage(fd, message);
        if (acknowledgement == 0) {
            std::puts("keine Quittung (Verbindung beendet)");
            ClientClose(fd);
            return TOOL_EXIT_FAILED;
        }
        std::printf("%c\n", acknowledgement);
        std::fflush(stdout); // seen at once, also through a pipe
        allStored = allStored && acknowledgement == PELMOR_ACK_STORED;
    }
    if (fd >= 0) {
        SendEnd(fd);
    }
    return allStored ? TOOL_EXIT_OK : TOOL_EXIT_FAILED;
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
    return stored == options.count ? TOOL_EXIT_OK : TOOL_EXIT_FAILED;
}

} // namespace

int main(int argc, char** argv) {
    SendOptions options;
    const int parsed = SendParseArguments(argc, argv, &options);
    if (parsed <= 0) {
        return parsed == 0 ? TOOL_EXIT_OK : TOOL_EXIT_USAGE;
    }
    if (options.count == 0) {
        return SendInteractive(options);
    }
    char why[CLIENT_WHY_SIZE] = "";
    const int fd =
        ClientConnect(options.host.c_str(), options.port.c_str(), SEND_ACK_TIMEOUT_SECONDS, why);
    if (fd < 0) {
        std::fprintf(stderr, "pelmor-send: %s\n", why);
        return TOOL_EXIT_USAGE;
    }
    return SendLoad(fd, options);
}
