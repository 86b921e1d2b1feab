// pelmorctl metrics: the receivers' counters (and a shipper's backlog) in
// the Prometheus text exposition format, for the node exporter's textfile
// collector or anything else that scrapes text. Read from the counters
// object as status reads it: the receiver does nothing extra per message.
#include "pelmorctl.h"
#include "pelmorctl_metrics.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/kernel_objects.h"
#include "protocol/counters.h"
#include "protocol/names.h"
#include "control/receiver_control.h"
#include "pelmor-ship/ship_settings.h"

namespace {

// What one receiver shows: its counters when it runs and they are sound,
// the buffer file and the shipper when a parameter file was given.
struct MetricsReceiver {
    std::string label; // the label's value, escaped
    int up;
    int ready;
    PelmorCounters counters;
    int withFile; // a parameter file was read for this receiver
    int64_t bufferBytes;
    int64_t bufferLimit;
    int withShip;
    PelmorctlShipFigures ship;
};

// One family: what it is called, what it means, and its samples.
struct MetricsFamily {
    const char* name;
    const char* type;
    const char* help;
    // Appends the family's samples of one receiver (none when it has none).
    void (*samples)(const char* name, const MetricsReceiver& receiver, std::string* text);
};

// A label value as the format escapes it: backslash, quote and line feed.
std::string MetricsEscape(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void MetricsSample(const char* name, const MetricsReceiver& receiver, const char* extraLabel,
                   const char* value, std::string* text) {
    *text += name;
    *text += "{receiver=\"" + receiver.label + "\"";
    if (extraLabel != nullptr) {
        *text += ",";
        *text += extraLabel;
    }
    *text += "} ";
    *text += value;
    *text += "\n";
}

// Figures as integers: exact up to 2^64, where a double would round.
void MetricsSample(const char* name, const MetricsReceiver& receiver, const char* extraLabel,
                   uint64_t value, std::string* text) {
    char number[24];
    std::snprintf(number, sizeof number, "%" PRIu64, value);
    MetricsSample(name, receiver, extraLabel, number, text);
}

void MetricsSample(const char* name, const MetricsReceiver& receiver, const char* extraLabel,
                   int64_t value, std::string* text) {
    char number[24];
    std::snprintf(number, sizeof number, "%" PRId64, value);
    MetricsSample(name, receiver, extraLabel, number, text);
}

// The samples of families that exist whenever the receiver is asked.
void MetricsUp(const char* name, const MetricsReceiver& r, std::string* text) {
    MetricsSample(name, r, nullptr, static_cast<int64_t>(r.up), text);
}
void MetricsReady(const char* name, const MetricsReceiver& r, std::string* text) {
    MetricsSample(name, r, nullptr, static_cast<int64_t>(r.ready), text);
}

// The counters' families: a receiver that is down has none, so a restart
// reads as a reset rather than as a fall to 0 at every scrape in between.
template <typename T, T PelmorCounters::*field>
void MetricsCounter(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.up) {
        MetricsSample(name, r, nullptr, r.counters.*field, text);
    }
}

// The ways a session ends, as the label "reason" names them.
constexpr const char* METRICS_END_REASONS[PELMOR_END_KINDS] = {
    "reason=\"x\"", "reason=\"peer\"", "reason=\"timeout\"", "reason=\"failure\"",
    "reason=\"stop\""};

void MetricsSessions(const char* name, const MetricsReceiver& r, std::string* text) {
    if (!r.up) {
        return;
    }
    for (int32_t kind = 0; kind < PELMOR_END_KINDS; ++kind) {
        MetricsSample(name, r, METRICS_END_REASONS[kind], r.counters.sessionsEnded[kind], text);
    }
}

void MetricsBufferBytes(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.withFile) {
        MetricsSample(name, r, nullptr, r.bufferBytes, text);
    }
}
void MetricsBufferLimit(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.withFile) {
        MetricsSample(name, r, nullptr, r.bufferLimit, text);
    }
}

void MetricsShipUp(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.withShip) {
        MetricsSample(name, r, nullptr, static_cast<int64_t>(r.ship.running), text);
    }
}
void MetricsShipStateReadable(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.withShip) {
        MetricsSample(name, r, nullptr, static_cast<int64_t>(r.ship.stateReadable), text);
    }
}
// The backlog is known only from a readable state file.
template <int64_t PelmorctlShipFigures::*field>
void MetricsShip(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.withShip && r.ship.stateReadable) {
        MetricsSample(name, r, nullptr, r.ship.*field, text);
    }
}

// What only the running shipper knows.
template <int64_t PelmorctlShipFigures::*field>
void MetricsShipLive(const char* name, const MetricsReceiver& r, std::string* text) {
    if (r.withShip && r.ship.live) {
        MetricsSample(name, r, nullptr, r.ship.*field, text);
    }
}

const MetricsFamily METRICS_FAMILIES[] = {
    {"pelmor_up", "gauge", "1 when the receiver runs and its counters object is sound, else 0.",
     MetricsUp},
    {"pelmor_ready", "gauge", "1 when the receiver runs and is ready (StartPelmorEvent set).",
     MetricsReady},
    {"pelmor_start_time_seconds", "gauge", "When the receiver started, seconds since the epoch.",
     MetricsCounter<int64_t, &PelmorCounters::started>},
    {"pelmor_connections_total", "counter", "Connections accepted.",
     MetricsCounter<uint64_t, &PelmorCounters::connections>},
    {"pelmor_sessions_ended_total", "counter",
     "Sessions ended, by reason: x (client sent X), peer (client closed), timeout (no message "
     "within TIMEOUT), failure (read, write or record refused), stop (receiver stopped).",
     MetricsSessions},
    {"pelmor_records_stored_total", "counter", "Records stored in the buffer file (answered 1).",
     MetricsCounter<uint64_t, &PelmorCounters::recordsStored>},
    {"pelmor_records_refused_total", "counter", "Records refused (answered 2).",
     MetricsCounter<uint64_t, &PelmorCounters::recordsFailed>},
    {"pelmor_received_bytes_total", "counter", "Bytes received from clients, X messages included.",
     MetricsCounter<uint64_t, &PelmorCounters::bytesReceived>},
    {"pelmor_last_record_timestamp_seconds", "gauge",
     "Stamp time of the last record stored, seconds since the epoch; 0 before the first.",
     MetricsCounter<int64_t, &PelmorCounters::lastRecord>},
    {"pelmor_buffer_file_reopenings_total", "counter",
     "Times the buffer file was opened anew inside a session (after a hand-off).",
     MetricsCounter<uint64_t, &PelmorCounters::reopenings>},
    {"pelmor_buffer_file_size_bytes", "gauge", "Size of the live buffer file (BUFFDATEI).",
     MetricsBufferBytes},
    {"pelmor_buffer_file_limit_bytes", "gauge",
     "Bound on the buffer file (MAXBUFSIZE); 0 for none.", MetricsBufferLimit},
    {"pelmor_ship_up", "gauge", "1 when pelmor-ship runs for this buffer file, else 0.",
     MetricsShipUp},
    {"pelmor_ship_records_shipped_total", "counter",
     "Records acknowledged by the stream since pelmor-ship started.",
     MetricsShipLive<&PelmorctlShipFigures::shipped>},
    {"pelmor_ship_connected", "gauge", "1 while pelmor-ship is connected to NATS.",
     MetricsShipLive<&PelmorctlShipFigures::connected>},
    {"pelmor_ship_outage_seconds", "gauge",
     "How long NATS has been away or records unacknowledged; 0 while all is well.",
     MetricsShipLive<&PelmorctlShipFigures::outage>},
    {"pelmor_ship_state_readable", "gauge",
     "1 when the shipper's state file is readable (or not yet made), 0 when it is damaged.",
     MetricsShipStateReadable},
    {"pelmor_ship_backlog_records", "gauge", "Records not yet acknowledged by the stream.",
     MetricsShip<&PelmorctlShipFigures::records>},
    {"pelmor_ship_backlog_bytes", "gauge", "Bytes of the records not yet acknowledged.",
     MetricsShip<&PelmorctlShipFigures::bytes>},
    {"pelmor_ship_backlog_files", "gauge", "Buffer files holding records not yet acknowledged.",
     MetricsShip<&PelmorctlShipFigures::files>},
    {"pelmor_ship_oldest_unshipped_age_seconds", "gauge",
     "Age of the oldest record not yet acknowledged, by its stamp; 0 when none waits.",
     MetricsShip<&PelmorctlShipFigures::oldestAge>},
    {"pelmor_ship_last_error_timestamp_seconds", "gauge",
     "When the shipper last failed, seconds since the epoch; 0 for never.",
     MetricsShip<&PelmorctlShipFigures::errorTime>},
};

// The receiver whose named objects are the current ones.
MetricsReceiver MetricsReadReceiver(const std::string& name) {
    MetricsReceiver receiver{};
    receiver.label = MetricsEscape(name);
    DWORD error = 0;
    // A receiver that cannot be looked at (say, another user's) is down to
    // the scraper; the reason is not a figure.
    const int running = ReceiverRunning(&error) == 1;
    receiver.up = running && PelmorctlReadCounters(&receiver.counters) == 1;
    receiver.ready = receiver.up && ReceiverEventState(PELMOR_START_EVENT_NAME) == 1;
    return receiver;
}

// The buffer file and the shipper of a parameter file. 1, or 0 after
// saying why on standard error.
int MetricsReadFile(const char* path, MetricsReceiver* receiver) {
    int32_t position = 0;
    const int32_t code = ShipTableRead(path, &position);
    if (code != KEYINI_OK) {
        std::fprintf(stderr, "pelmorctl: Parameterdatei %s nicht gelesen (Fehler %d, Zeile %d)\n",
                     path, static_cast<int>(code), static_cast<int>(position));
        return 0;
    }
    const ParameterDescriptor& buffer = ShipTable[PELMOR_SETTING_BUFFDATEI];
    const std::string bufferFile =
        buffer.found && buffer.valid ? buffer.value.textValue : buffer.defaultValue;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(bufferFile, error);
    receiver->withFile = 1;
    receiver->bufferBytes = error ? 0 : static_cast<int64_t>(size);
    const ParameterDescriptor& bound = ShipTable[PELMOR_SETTING_MAXBUFSIZE];
    receiver->bufferLimit =
        bound.found && bound.valid ? static_cast<int64_t>(bound.value.longValue) * 1024 : 0;
    receiver->withShip = ShipGroupPresent() && PelmorctlShipRead(bufferFile, &receiver->ship) == 1;
    return 1;
}

std::string MetricsText(const std::vector<MetricsReceiver>& receivers) {
    std::string text;
    for (const MetricsFamily& family : METRICS_FAMILIES) {
        std::string samples;
        for (const MetricsReceiver& receiver : receivers) {
            family.samples(family.name, receiver, &samples);
        }
        if (samples.empty()) {
            continue;
        }
        text += std::string("# HELP ") + family.name + " " + family.help + "\n";
        text += std::string("# TYPE ") + family.name + " " + family.type + "\n";
        text += samples;
    }
    return text;
}

} // namespace

int PelmorctlMetrics(int argc, char** argv) {
    bool all = false;
    // Before the command word, as every command takes it, or after it.
    const char* instance = PelmorctlInstance;
    bool instanceAfter = false;
    const char* file = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--all") == 0 && !all) {
            all = true;
        } else if (std::strcmp(argv[i], "--instance") == 0 && i + 1 < argc && instance == nullptr) {
            instance = argv[++i];
            instanceAfter = true;
        } else if (std::strcmp(argv[i], "--ini") == 0 && i + 1 < argc && file == nullptr) {
            file = argv[++i];
        } else {
            return -1;
        }
    }
    if (all && instance != nullptr) {
        return -1;
    }
    if (instanceAfter && PelmorctlUseInstance(instance) == 0) {
        return -1;
    }
    std::vector<PelmorctlReceiverPlace> places;
    if (all) {
        places = PelmorctlAllReceivers();
    } else {
        places.push_back({instance != nullptr ? instance : "pelmor", ""});
    }
    // The parameter file belongs to the one receiver asked for; with --all,
    // to the package's receiver, "pelmor".
    const std::string fileOwner = instance != nullptr ? instance : "pelmor";
    std::vector<MetricsReceiver> receivers;
    bool fileUsed = false;
    for (const PelmorctlReceiverPlace& place : places) {
        PelmorctlUseReceiverPlace(place);
        receivers.push_back(MetricsReadReceiver(place.name));
        if (file != nullptr && place.name == fileOwner) {
            if (MetricsReadFile(file, &receivers.back()) == 0) {
                return TOOL_EXIT_FAILED;
            }
            fileUsed = true;
        }
    }
    if (file != nullptr && !fileUsed) {
        // No folder of the package's receiver: it is down, its file still counts.
        receivers.push_back(MetricsReceiver{});
        receivers.back().label = MetricsEscape(fileOwner);
        if (MetricsReadFile(file, &receivers.back()) == 0) {
            return TOOL_EXIT_FAILED;
        }
    }
    // All at once, so a reader of a pipe never takes half a text for all.
    const std::string text = MetricsText(receivers);
    PelmorctlMetricsBinaryOutput();
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "pelmorctl: Metriken nicht vollstaendig geschrieben\n");
        return TOOL_EXIT_FAILED;
    }
    return TOOL_EXIT_OK;
}
