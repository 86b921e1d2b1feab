// pelmor-ship: carries the records of the receiver's buffer file into a
// NATS JetStream stream, each exactly once, and removes what is stored.
// The work is done by the core (ship_core.cpp) over one ShipContext; this
// file reads the settings, shows the status and runs the core with NATS.
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/exit_codes.h"
#include "common/iso_time.h"
#include "common/text_line.h"
#include "pelmor-ship/ship_core.h"
#include "pelmor-ship/ship_settings.h"
#include "platform/service_manager.h"
#include "protocol/decimal.h"
#include "ship_nats.h"

namespace {

constexpr int SHIP_EXIT_OK = TOOL_EXIT_OK;
constexpr int SHIP_EXIT_FAILED = TOOL_EXIT_FAILED;
constexpr int SHIP_EXIT_USAGE = TOOL_EXIT_USAGE;
constexpr int SHIP_EXIT_NOT_RUNNING = TOOL_EXIT_NOT_RUNNING;

// The one shipper of this process: the signal handler stops it.
ShipContext* ShipRunning = nullptr;

void ShipOnSignal(int) {
    if (ShipRunning != nullptr) {
        ShipRunning->stopAsked = true;
        ShipCoreWake(ShipRunning);
    }
}

// ---- Settings, status and the run ----

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "pelmor";
    }
    for (char* c = name; *c != '\0'; ++c) {
        if (*c == ':') {
            *c = '-';
        }
    }
    return name;
}

std::string TextSetting(int32_t setting) {
    const ParameterDescriptor& entry = ShipEntry(setting);
    return ShipEntryState(setting) == 1 ? entry.value.textValue : entry.defaultValue;
}

int32_t NumberSetting(int32_t setting) {
    const ParameterDescriptor& entry = ShipEntry(setting);
    if (ShipEntryState(setting) == 1) {
        return entry.value.intValue;
    }
    int64_t value = 0; // every default is a number within its range
    DecimalParseText(entry.defaultValue, std::strlen(entry.defaultValue) + 1, INT32_MAX, &value);
    return static_cast<int32_t>(value);
}

// Reads the parameter file; false after saying why on standard error.
bool LoadConfig(const char* path, ShipConfig* config) {
    int32_t position = 0;
    const int32_t code = ShipTableRead(path, &position);
    if (code != KEYINI_OK) {
        std::fprintf(
            stderr, "pelmor-ship: Parameterdatei %s nicht gelesen (Fehler %d, Zeile %d: %s)\n",
            path, static_cast<int>(code), static_cast<int>(position), KeyIniErrorText(code));
        return false;
    }
    const ParameterDescriptor& buffer = ShipTable[PELMOR_SETTING_BUFFDATEI];
    if (!buffer.found || !buffer.valid) {
        std::fprintf(stderr, "pelmor-ship: BUFFDATEI fehlt oder ist ungueltig in %s\n", path);
        return false;
    }
    for (int32_t setting = 0; setting < SHIP_SETTINGS_COUNT; ++setting) {
        if (ShipEntryState(setting) < 0) {
            const ParameterDescriptor& entry = ShipEntry(setting);
            std::fprintf(stderr,
                         "pelmor-ship: %s = \"%.100s\" in Gruppe VERSAND ist ungueltig (erlaubt: "
                         "%s %.0f bis %.0f%s)\n",
                         entry.paramToken, entry.content,
                         entry.type == TYPSTRING ? "Laenge" : "Wert", entry.min, entry.max,
                         ShipEntryRule(setting));
            return false;
        }
    }
    config->bufferFile = buffer.value.textValue;
    config->natsUrl = TextSetting(SHIP_NATSURL);
    config->stream = TextSetting(SHIP_STREAM);
    config->subject = TextSetting(SHIP_SUBJECT);
    config->source = TextSetting(SHIP_QUELLE);
    // Without QUELLE: the name the unit gives (pelmor-ship@NAME: host and
    // receiver, so each receiver's records are told apart), else the host's.
    const char* unitSource = std::getenv("PELMOR_SHIP_QUELLE");
    if (config->source.empty() && unitSource != nullptr && unitSource[0] != '\0') {
        if (std::strlen(unitSource) > 64 || !ShipValidSourceName(unitSource)) {
            std::fprintf(stderr, "pelmor-ship: PELMOR_SHIP_QUELLE = \"%.64s\" ist ungueltig\n",
                         unitSource);
            return false;
        }
        config->source = unitSource;
    }
    if (config->source.empty()) {
        config->source = HostName();
    }
    config->replicas = NumberSetting(SHIP_REPLIKATE);
    config->duplicateWindow = NumberSetting(SHIP_DUPFENSTER);
    config->window = NumberSetting(SHIP_FENSTER);
    config->handoffBytes = static_cast<int64_t>(NumberSetting(SHIP_UEBERGABE)) * 1024;
    // A receiver with a bound on its buffer file answers "2" once the file
    // reaches it: the file is taken over at half the bound at the latest.
    const ParameterDescriptor& bound = ShipTable[PELMOR_SETTING_MAXBUFSIZE];
    if (bound.found && bound.valid && bound.value.intValue > 0) {
        config->handoffBytes =
            std::min(config->handoffBytes, static_cast<int64_t>(bound.value.intValue) * 512);
    }
    config->credentials = TextSetting(SHIP_NATSCREDS);
    config->caFile = TextSetting(SHIP_NATSCA);
    config->certFile = TextSetting(SHIP_NATSCERT);
    config->keyFile = TextSetting(SHIP_NATSKEY);
    return true;
}

std::string LocalTime(std::time_t when) {
    char text[TOOL_TIME_TEXT];
    ToolIsoTime(static_cast<int64_t>(when), text);
    return text;
}

std::string JsonText(const char* text) {
    return ToolJsonString(text);
}

int ShowStatus(const ShipConfig& config, bool json) {
    const std::string statePath = ShipStatePath(config);
    long holder = 0;
    std::string problem;
    const int lock = ShipLock(config, false, &holder, &problem);
    ShipState state{};
    std::string error;
    const int loaded = ShipStateLoad(statePath, &state, &error);
    if (loaded < 0) {
        std::fprintf(stderr, "pelmor-ship: Zustandsdatei %s nicht lesbar: %s\n", statePath.c_str(),
                     error.c_str());
        return SHIP_EXIT_FAILED;
    }
    if (loaded == 0) {
        state.generation = 1;
    }
    if (ShipStatePlausible(config, state, &error) == 0) {
        std::fprintf(stderr, "pelmor-ship: Zustandsdatei %s kann nicht stimmen: %s\n",
                     statePath.c_str(), error.c_str());
        return SHIP_EXIT_FAILED;
    }
    const ShipBacklog backlog = ShipMeasureBacklog(config, state);
    if (problem.empty()) {
        problem = backlog.refused;
    }
    const bool running = lock == 0 && holder != 0;
    const std::time_t now = std::time(nullptr);
    const long long age = backlog.oldest != 0 ? static_cast<long long>(now - backlog.oldest) : -1;
    if (json) {
        std::printf(
            "{\"running\": %s, \"pid\": %ld, \"stream\": %s, \"records_waiting\": %" PRId64
            ", \"bytes_waiting\": %" PRId64 ", \"files_waiting\": %d, \"oldest\": %s, "
            "\"oldest_age_s\": %lld, \"last_error\": %s, \"last_error_time\": %s, "
            "\"last_error_past\": %s, \"refused\": %s}\n",
            running ? "true" : "false", running ? holder : 0L,
            JsonText(config.stream.c_str()).c_str(), backlog.records, backlog.records * SHIP_RECORD,
            backlog.files,
            backlog.oldest != 0 ? ("\"" + LocalTime(backlog.oldest) + "\"").c_str() : "null", age,
            state.errorTime != 0 ? JsonText(state.error).c_str() : "null",
            state.errorTime != 0
                ? ("\"" + LocalTime(static_cast<std::time_t>(state.errorTime)) + "\"").c_str()
                : "null",
            state.errorTime != 0 && state.errorPast != 0 ? "true" : "false",
            problem.empty() ? "null" : JsonText(problem.c_str()).c_str());
    } else {
        if (running) {
            std::printf("Versand:          laeuft (Prozess %ld)\n", holder);
        } else {
            std::printf("Versand:          laeuft nicht\n");
        }
        std::printf("Stream:           %s auf %s\n", config.stream.c_str(),
                    ShipUrlShown(config.natsUrl).c_str());
        std::printf("Wartende Saetze:  %" PRId64 "\n", backlog.records);
        std::printf("Wartende Bytes:   %" PRId64 "\n", backlog.records * SHIP_RECORD);
        std::printf("Wartende Dateien: %d\n", backlog.files);
        if (backlog.oldest != 0) {
            std::printf("Aeltester Satz:   %s (vor %lld s)\n", LocalTime(backlog.oldest).c_str(),
                        age);
        } else {
            std::printf("Aeltester Satz:   keiner\n");
        }
        if (state.errorTime != 0) {
            std::printf("Letzter Fehler:   %s %s%s\n",
                        LocalTime(static_cast<std::time_t>(state.errorTime)).c_str(), state.error,
                        state.errorPast != 0 ? " (behoben)" : "");
        } else {
            std::printf("Letzter Fehler:   keiner\n");
        }
        if (!problem.empty()) {
            std::printf("Nicht verwendet:  %s\n", problem.c_str());
        }
    }
    return running ? SHIP_EXIT_OK : SHIP_EXIT_NOT_RUNNING;
}

void Usage() {
    std::fputs("Aufruf: pelmor-ship PARAMETERDATEI\n"
               "        pelmor-ship --status [--json] PARAMETERDATEI\n"
               "        pelmor-ship --help | --version\n"
               "\n"
               "Traegt die Saetze der Bufferdatei des Empfaengers (BUFFDATEI der Gruppe PELMOR)\n"
               "in einen JetStream-Stream von NATS, jeden genau einmal, und loescht, was\n"
               "gespeichert ist. Einstellungen in Gruppe VERSAND der Parameterdatei:\n"
               "  NATSURL     NATS-Server, durch Komma getrennt (nats://127.0.0.1:4222)\n"
               "  STREAM      Name des Streams (PELMOR)\n"
               "  SUBJECT     Subject der Saetze (pelmor.records)\n"
               "  QUELLE      Name dieser Quelle in Kennungen und Kopfzeilen (Rechnername)\n"
               "  REPLIKATE   Replikate, wenn der Stream angelegt wird (1)\n"
               "  DUPFENSTER  Duplikatfenster in s, wenn der Stream angelegt wird (600)\n"
               "  FENSTER     Saetze ohne Bestaetigung hoechstens (512)\n"
               "  UEBERGABE   Bufferdatei uebernehmen ab so vielen KB (8192)\n"
               "  NATSCREDS   Credentials-Datei (keine)\n"
               "  NATSCA      CA-Zertifikate fuer TLS (keine: ohne TLS)\n"
               "  NATSCERT    Client-Zertifikat fuer TLS, NATSKEY sein Schluessel (keine)\n"
               "\n"
               "  --status    zeigt, ob pelmor-ship laeuft, wartende Saetze, Bytes und\n"
               "              Dateien, den aeltesten wartenden Satz und den letzten Fehler\n"
               "              (--json: ein JSON-Objekt; Ende 0: laeuft, 3: laeuft nicht)\n"
               "  --help      diese Hilfe\n"
               "  --version   zeigt die Version\n"
               "\n"
               "SIGTERM und SIGINT beenden pelmor-ship, sobald die Saetze unterwegs bestaetigt\n"
               "oder fuer den naechsten Start zurueckgelegt sind. Ende 0; 1 bei einem Fehler,\n"
               "der das Weiterarbeiten verhindert; 2 bei falschem Aufruf.\n",
               stdout);
}

// Takes the lock of one shipper per buffer file; false after saying why.
bool TakeLock(const ShipConfig& config) {
    long holder = 0;
    std::string lockError;
    const int lock = ShipLock(config, true, &holder, &lockError);
    if (lock == 0) {
        std::fprintf(stderr, "pelmor-ship: laeuft schon fuer %s (Prozess %ld)\n",
                     config.bufferFile.c_str(), holder);
    } else if (lock < 0) {
        std::fprintf(stderr, "pelmor-ship: Sperre fuer %s nicht zu setzen: %s\n",
                     config.bufferFile.c_str(), lockError.c_str());
    }
    return lock > 0;
}

// The key, certificate and credentials files; false after saying why.
bool SecretsUsable() {
    std::string error;
    for (int32_t setting : {SHIP_NATSCREDS, SHIP_NATSKEY, SHIP_NATSCERT, SHIP_NATSCA}) {
        if (ShipEntryState(setting) > 0 &&
            ShipSecretFileProblem(setting, ShipEntry(setting).value.textValue, &error)) {
            ShipLog("Fehler: %s; pelmor-ship startet nicht", error.c_str());
            return false;
        }
    }
    return true;
}

int Run(const ShipConfig& config) {
    if (!TakeLock(config)) {
        return SHIP_EXIT_FAILED;
    }
    static ShipContext ship; // its read buffer is large
    ShipCoreInit(
        &ship, config,
        {ShipNatsPublish, ShipNatsStream, ShipNatsScan, ShipNatsConnected, ShipNatsTakeLost});
    if (!ShipCoreLoadState(&ship)) {
        return SHIP_EXIT_FAILED;
    }
    ShipCoreWatch(&ship);
    ShipRunning = &ship;
    struct sigaction action {};
    action.sa_handler = ShipOnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!SecretsUsable()) {
        return SHIP_EXIT_FAILED;
    }
    if (ShipNatsStart(config, &ship, &error) == 0) {
        ShipLog("Fehler: %s", error.c_str());
        return SHIP_EXIT_FAILED;
    }
    ShipLog("gestartet: %s -> Stream %s (%s) auf %s, Quelle %s", config.bufferFile.c_str(),
            config.stream.c_str(), config.subject.c_str(), ShipUrlShown(config.natsUrl).c_str(),
            config.source.c_str());
    // Ready once the parameters, the state and the client stand; what NATS
    // does later is retried, not a failed start.
    PlatformNotifyServiceManager("READY=1");
    ShipCoreRun(&ship);
    PlatformNotifyServiceManager("STOPPING=1");
    ShipNatsStop();
    unlink(ship.livePath.c_str()); // its figures end with the shipper
    ShipLog("beendet: %s bis Satz %" PRId64 " der Generation %" PRId64 " gespeichert%s",
            config.stream.c_str(), ship.state.position, ship.state.generation,
            ship.state.dirty ? "; unbestaetigte Saetze gehen beim naechsten Start wieder hinaus"
                             : "");
    return SHIP_EXIT_OK;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    bool status = false;
    bool json = false;
    const char* path = nullptr;
    for (const std::string& word : words) {
        if (word == "--help") {
            Usage();
            return SHIP_EXIT_OK;
        }
        if (word == "--version") {
            std::printf("pelmor-ship %s\n", PELMOR_VERSION);
            return SHIP_EXIT_OK;
        }
        if (word == "--status") {
            status = true;
        } else if (word == "--json" && status) {
            json = true;
        } else if (word.rfind("--", 0) != 0 && path == nullptr) {
            path = argv[&word - &words[0] + 1];
        } else {
            std::fprintf(stderr, "pelmor-ship: falscher Aufruf; pelmor-ship --help sagt, wie\n");
            return SHIP_EXIT_USAGE;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "pelmor-ship: keine Parameterdatei; pelmor-ship --help sagt, wie\n");
        return SHIP_EXIT_USAGE;
    }
    ShipConfig config{};
    if (!LoadConfig(path, &config)) {
        return SHIP_EXIT_FAILED;
    }
    return status ? ShowStatus(config, json) : Run(config);
}
