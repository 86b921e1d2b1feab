// pelmorctl: status, stop and readiness of the receiver through its named
// objects; checks of a parameter file with the receiver's own table; the
// buffer file checked and read back.
#include "pelmorctl.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/usage.h"
#include "control/receiver_control.h"
#include "platform/console.h"
#include "platform/kernel_objects.h"
#include "protocol/decimal.h"
#include "protocol/names.h"

namespace {

constexpr long PELMORCTL_DEFAULT_TIMEOUT = 10;
constexpr long PELMORCTL_TIMEOUT_MAX = 86400;
constexpr DWORD PELMORCTL_POLL_MS = 50;

void PelmorctlUsage() {
    std::fputs(
        "Aufruf: pelmorctl [--instance NAME] BEFEHL [OPTIONEN]\n"
        "\n"
        "Steuert den Empfaenger pelmor und prueft seine Parameterdatei.\n"
        "\n"
        "Befehle:\n"
        "  status [--json]           zeigt, ob ein Empfaenger laeuft, ob ein Stop\n"
        "                            angefordert (StopPelmorEvent zurueckgesetzt) und ob\n"
        "                            er bereit ist (StartPelmorEvent gesetzt), und die\n"
        "                            Zaehler des laufenden Empfaengers (--json: ein\n"
        "                            JSON-Objekt)\n"
        "                            (Ende 0: laeuft, 3: laeuft nicht, 1: nicht pruefbar)\n"
        "  status --all              dasselbe fuer jeden Empfaenger des Dienstes auf\n"
        "                            diesem Rechner (pelmor.service, pelmor@NAME.service)\n"
        "                            (Ende 0: einer laeuft, 3: keiner, 1: nicht pruefbar)\n"
        "  metrics [--instance NAME | --all] [--ini DATEI]\n"
        "                            die Zaehler im Textformat von Prometheus (fuer den\n"
        "                            Textfile-Collector des Node Exporters); --all: alle\n"
        "                            Empfaenger dieses Rechners; --ini DATEI: dazu die\n"
        "                            Bufferdatei und, mit Gruppe VERSAND, der Versand\n"
        "                            (im Arbeitsordner des Empfaengers aufrufen)\n"
        "                            (Ende 0: geschrieben, 1: Parameterdatei nicht lesbar)\n"
        "  stop [--timeout S]        setzt StopPelmorEvent zurueck und wartet hoechstens\n"
        "                            S Sekunden (Vorgabe 10) auf das Ende des Empfaengers\n"
        "                            (Ende 0: beendet oder lief nicht, 1: Zeit abgelaufen\n"
        "                            oder keiner hier, aber Empfaenger des Dienstes)\n"
        "  wait-ready [--timeout S]  wartet hoechstens S Sekunden (Vorgabe 10), bis ein\n"
        "                            Empfaenger laeuft und StartPelmorEvent gesetzt ist\n"
        "                            (Ende 0: bereit, 1: Zeit abgelaufen)\n"
        "  check DATEI               liest DATEI wie der Empfaenger und zeigt jede\n"
        "                            Einstellung mit dem Wert, den er erhielte\n"
        "                            (Ende 0: alle Einstellungen aus der Datei, sonst 1)\n"
        "  list DATEI                liest DATEI in die Tabelle des Empfaengers und\n"
        "                            listet sie (eine Taste je Eintrag)\n"
        "  verify DATEI              prueft jeden Satz einer Bufferdatei und die Zaehler\n"
        "                            der Sitzungen; zeigt Saetze, Sitzungen, Zeitraum und\n"
        "                            die ersten 20 Probleme mit Satz und Byte\n"
        "                            (Ende 0: in Ordnung, 1: Probleme, 2: nicht lesbar)\n"
        "  records DATEI [--from N] [--count K] [--json | --csv]\n"
        "                            zeigt die Saetze ab Satz N (Vorgabe 1, gezaehlt ab 1),\n"
        "                            hoechstens K; kaputte Saetze nennt die\n"
        "                            Fehlerausgabe mit ihrem Byte und uebergeht sie\n"
        "                            (Ende 0: alle gezeigt, 1: Saetze uebergangen,\n"
        "                            2: nicht lesbar)\n"
        "                            ohne --json und --csv: eine Zeile je Satz, Steuer-\n"
        "                            zeichen und Bytes, die kein UTF-8 sind, als \\r \\n\n"
        "                            \\t \\xHH, der Rueckstrich als \\\\\n"
        "                            --json: ein Objekt je Zeile mit n, ip, port, time\n"
        "                            (Ortszeit ohne Zonenangabe, null ohne Zeit), seq,\n"
        "                            message; Bytes, die kein gueltiges UTF-8 sind,\n"
        "                            als \\udc80 bis \\udcff (Byte 80 bis ff)\n"
        "                            --csv: Kopfzeile, Felder nach RFC 4180, die\n"
        "                            Nachricht Byte fuer Byte\n"
        "  -h, --help                diese Hilfe\n"
        "  --version                 zeigt die Version\n"
        "\n",
        stdout);
    std::fputs(PELMORCTL_OBJECTS_HELP, stdout);
    std::fputs("Falscher Aufruf: Ende 2.\n", stdout);
}

// Whether a receiver runs: 1 or 0, or -1 when that cannot be told; the
// reason is then on standard error.
int PelmorctlRunning() {
    DWORD error = 0;
    int running = ReceiverRunning(&error);
    if (running < 0) {
        std::fprintf(stderr, "pelmorctl: Mutex %s nicht pruefbar (Fehler %lu)\n", PELMOR_MUTEX_NAME,
                     static_cast<unsigned long>(error));
    }
    return running;
}

// The events in the words of what they mean: StopPelmorEvent reset is a
// stop asked for, StartPelmorEvent set a receiver that is ready.
const char* PelmorctlStateText(int state, const char* signalled, const char* reset) {
    return state < 0 ? "kein Ereignis" : state ? signalled : reset;
}

int PelmorctlStatus(bool json) {
    int running = PelmorctlRunning();
    if (running < 0) {
        return TOOL_EXIT_FAILED;
    }
    if (!running) {
        PelmorctlHintService("status");
    }
    if (json) {
        PelmorctlShowCountersJson(running);
        return running ? TOOL_EXIT_OK : TOOL_EXIT_NOT_RUNNING;
    }
    std::printf("Empfaenger:       %s\n", running ? "laeuft" : "laeuft nicht");
    std::printf("Stop angefordert: %s\n",
                PelmorctlStateText(ReceiverEventState(PELMOR_STOP_EVENT_NAME), "nein", "ja"));
    std::printf("Bereit:           %s\n",
                PelmorctlStateText(ReceiverEventState(PELMOR_START_EVENT_NAME), "ja", "nein"));
    if (running) {
        PelmorctlShowCounters();
    }
    return running ? TOOL_EXIT_OK : TOOL_EXIT_NOT_RUNNING;
}

using PelmorctlClock = std::chrono::steady_clock;

PelmorctlClock::time_point PelmorctlDeadline(long seconds) {
    return PelmorctlClock::now() + std::chrono::seconds(seconds);
}

int PelmorctlStop(long seconds) {
    int running = PelmorctlRunning();
    if (running < 0) {
        return TOOL_EXIT_FAILED;
    }
    if (running == 0) {
        // None here, but the service's run elsewhere: never "none runs".
        if (PelmorctlHintService("stop")) {
            return TOOL_EXIT_FAILED;
        }
        std::puts("Kein Empfaenger laeuft.");
        return TOOL_EXIT_OK;
    }
    HANDLE stop = ReceiverStopEventOpen();
    if (stop == nullptr && PelmorctlRunning() == 0) {
        // Ended meanwhile, and its runtime directory went with it.
        std::puts("Empfaenger beendet.");
        return TOOL_EXIT_OK;
    }
    if (stop == nullptr) {
        std::fprintf(stderr, "pelmorctl: %s nicht geoeffnet (Fehler %lu)\n", PELMOR_STOP_EVENT_NAME,
                     static_cast<unsigned long>(GetLastError()));
        return TOOL_EXIT_FAILED;
    }
    auto deadline = PelmorctlDeadline(seconds);
    int ended = 0;
    for (;;) {
        ReceiverStopAsk(stop);
        ended = PelmorctlRunning() == 0;
        if (ended || PelmorctlClock::now() >= deadline) {
            break;
        }
        Sleep(PELMORCTL_POLL_MS);
    }
    CloseHandle(stop);
    if (!ended) {
        std::fprintf(stderr, "pelmorctl: Empfaenger nach %ld s nicht beendet\n", seconds);
        return TOOL_EXIT_FAILED;
    }
    std::puts("Empfaenger beendet.");
    return TOOL_EXIT_OK;
}

int PelmorctlWaitReady(long seconds) {
    auto deadline = PelmorctlDeadline(seconds);
    while (ReceiverEventState(PELMOR_START_EVENT_NAME) != 1 || PelmorctlRunning() != 1) {
        if (PelmorctlClock::now() >= deadline) {
            std::fprintf(stderr, "pelmorctl: Empfaenger nach %ld s nicht bereit\n", seconds);
            return TOOL_EXIT_FAILED;
        }
        Sleep(PELMORCTL_POLL_MS);
    }
    std::puts("Empfaenger bereit.");
    return TOOL_EXIT_OK;
}

// Seconds from "--timeout S" after the command word, or the default. -1 when
// the options are not understood.
long PelmorctlTimeout(int argc, char** argv) {
    if (argc == 2) {
        return PELMORCTL_DEFAULT_TIMEOUT;
    }
    int64_t seconds = 0;
    if (argc != 4 || std::strcmp(argv[2], "--timeout") != 0 ||
        !DecimalParse(argv[3], std::strlen(argv[3]), PELMORCTL_TIMEOUT_MAX, &seconds)) {
        return -1;
    }
    return static_cast<long>(seconds);
}

// A command word and what runs it: argv holds the whole command line. A run
// gives the exit code, or PELMORCTL_WRONG_ARGUMENTS for arguments it does not
// take.
constexpr int PELMORCTL_WRONG_ARGUMENTS = -1;
struct PelmorctlCommand {
    const char* name;
    const char* alias; // another name, or nullptr
    int (*run)(int argc, char** argv);
    const char* usage;  // in the wrong call's usage
    bool endsUsageLine; // the usage goes on in the next line after this one
};

int PelmorctlWrongCall(const char* why);

int PelmorctlRunHelp(int, char**) {
    PelmorctlUsage();
    return TOOL_EXIT_OK;
}

int PelmorctlRunVersion(int argc, char**) {
    if (argc != 2) {
        return PELMORCTL_WRONG_ARGUMENTS;
    }
    ToolShowVersion("pelmorctl");
    return TOOL_EXIT_OK;
}

// One receiver of status --all: a heading with its unit and folder, then
// what status shows.
int PelmorctlStatusOfOne(const char* unit, const char* dir) {
    std::printf("== %s (%s)\n", unit, dir);
    const int result = PelmorctlStatus(false);
    std::puts("");
    return result;
}

int PelmorctlRunStatus(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[2], "--all") == 0) {
        return PelmorctlEachServiceReceiver(PelmorctlStatusOfOne);
    }
    const bool json = argc == 3 && std::strcmp(argv[2], "--json") == 0;
    if (argc != 2 && !json) {
        return PELMORCTL_WRONG_ARGUMENTS;
    }
    return PelmorctlFindService() ? PelmorctlStatus(json) : TOOL_EXIT_FAILED;
}

int PelmorctlRunStop(int argc, char** argv) {
    const long seconds = PelmorctlTimeout(argc, argv);
    if (seconds < 0) {
        return PelmorctlWrongCall("--timeout erwartet ganze Sekunden von 0 bis 86400");
    }
    return PelmorctlFindService() ? PelmorctlStop(seconds) : TOOL_EXIT_FAILED;
}

int PelmorctlRunWaitReady(int argc, char** argv) {
    const long seconds = PelmorctlTimeout(argc, argv);
    if (seconds < 0) {
        return PelmorctlWrongCall("--timeout erwartet ganze Sekunden von 0 bis 86400");
    }
    return PelmorctlFindService() ? PelmorctlWaitReady(seconds) : TOOL_EXIT_FAILED;
}

// The commands that take one file and nothing else.
template <int (*command)(const char*)> int PelmorctlRunOnFile(int argc, char** argv) {
    return argc == 3 ? command(argv[2]) : PELMORCTL_WRONG_ARGUMENTS;
}

int PelmorctlRunMetrics(int argc, char** argv) {
    const int result = PelmorctlMetrics(argc - 2, argv + 2);
    return result >= 0 ? result : PELMORCTL_WRONG_ARGUMENTS;
}

int PelmorctlRunRecords(int argc, char** argv) {
    const int result = PelmorctlRecords(argc - 2, argv + 2);
    return result >= 0 ? result : PELMORCTL_WRONG_ARGUMENTS;
}

constexpr PelmorctlCommand PELMORCTL_COMMANDS[] = {
    {"status", nullptr, PelmorctlRunStatus, "status [--json | --all]", false},
    {"metrics", nullptr, PelmorctlRunMetrics, "metrics [--all] [--ini DATEI]", true},
    {"stop", nullptr, PelmorctlRunStop, "stop [--timeout S]", true},
    {"wait-ready", nullptr, PelmorctlRunWaitReady, "wait-ready [--timeout S]", false},
    {"check", nullptr, PelmorctlRunOnFile<PelmorctlCheck>, "check DATEI", false},
    {"list", nullptr, PelmorctlRunOnFile<PelmorctlList>, "list DATEI", true},
    {"verify", nullptr, PelmorctlRunOnFile<PelmorctlVerify>, "verify DATEI", true},
    {"records", nullptr, PelmorctlRunRecords,
     "records DATEI [--from N] [--count K] [--json | --csv]", true},
    {"--help", "-h", PelmorctlRunHelp, "--help", false},
    {"--version", nullptr, PelmorctlRunVersion, "--version", true},
};

int PelmorctlWrongCall(const char* why) {
    std::fprintf(stderr, "pelmorctl: %s\nAufruf: pelmorctl [--instance NAME] ", why);
    const std::size_t count = sizeof PELMORCTL_COMMANDS / sizeof PELMORCTL_COMMANDS[0];
    for (std::size_t i = 0; i < count; ++i) {
        const PelmorctlCommand& command = PELMORCTL_COMMANDS[i];
        const char* after = i + 1 == count          ? "\n"
                            : command.endsUsageLine ? " |\n                                    "
                                                    : " | ";
        std::fprintf(stderr, "%s%s", command.usage, after);
    }
    return TOOL_EXIT_USAGE;
}

} // namespace

const char* PelmorctlInstance = nullptr;

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--instance") == 0) {
        if (argc < 3 || PelmorctlUseInstance(argv[2]) == 0) {
            return PelmorctlWrongCall("--instance erwartet den Namen einer Instanz");
        }
        PelmorctlInstance = argv[2];
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) {
        return PelmorctlWrongCall("Befehl fehlt");
    }
    for (const PelmorctlCommand& command : PELMORCTL_COMMANDS) {
        if (std::strcmp(argv[1], command.name) == 0 ||
            (command.alias != nullptr && std::strcmp(argv[1], command.alias) == 0)) {
            const int result = command.run(argc, argv);
            if (result != PELMORCTL_WRONG_ARGUMENTS) {
                return result;
            }
            break;
        }
    }
    return PelmorctlWrongCall("unbekannter Befehl oder falsche Argumente");
}
