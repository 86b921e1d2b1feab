// pelmorctl status: the live counters of a running receiver, read from its
// named shared memory, as lines for people or as one JSON object.
#include "pelmorctl.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/iso_time.h"
#include "platform/kernel_objects.h"
#include "protocol/counters.h"
#include "protocol/names.h"

namespace {

// The receiver may be writing while we read: copies are taken until two agree.
constexpr int PELMORCTL_COPY_TRIES = 100;

void PelmorctlCopyOnce(const volatile PelmorCounters* shared, PelmorCounters* copy) {
    const volatile unsigned char* from = reinterpret_cast<const volatile unsigned char*>(shared);
    unsigned char* to = reinterpret_cast<unsigned char*>(copy);
    for (std::size_t i = 0; i < sizeof *copy; ++i) {
        to[i] = from[i];
    }
}

} // namespace

int PelmorctlReadCounters(PelmorCounters* counters) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, PELMOR_COUNTERS_NAME);
    if (mapping == nullptr) {
        return 0;
    }
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(PelmorCounters));
    int agreed = 0;
    if (view != nullptr) {
        const volatile PelmorCounters* shared = static_cast<const volatile PelmorCounters*>(view);
        PelmorCounters again{};
        PelmorctlCopyOnce(shared, counters);
        for (int i = 0; i < PELMORCTL_COPY_TRIES && !agreed; ++i) {
            PelmorctlCopyOnce(shared, &again);
            agreed = std::memcmp(counters, &again, sizeof again) == 0;
            std::memcpy(counters, &again, sizeof again);
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return agreed && counters->magic == PELMOR_COUNTERS_MAGIC &&
           counters->version == PELMOR_COUNTERS_VERSION;
}

namespace {

// The peer as the receiver wrote it; "" unless it is a dotted address.
const char* PelmorctlPeer(PelmorCounters* counters) {
    counters->peer[sizeof counters->peer - 1] = '\0';
    for (const char* at = counters->peer; *at != '\0'; ++at) {
        if ((*at < '0' || *at > '9') && *at != '.') {
            return "";
        }
    }
    return counters->peer;
}

void PelmorctlLine(const char* label, uint64_t value) {
    std::printf("%-17s %" PRIu64 "\n", label, value);
}

} // namespace

void PelmorctlShowCounters() {
    PelmorCounters counters{};
    if (!PelmorctlReadCounters(&counters)) {
        std::printf("%-17s %s\n", "Zaehler:", "nicht lesbar");
        return;
    }
    char started[TOOL_TIME_TEXT];
    ToolIsoTime(counters.started, started);
    char lastRecord[TOOL_TIME_TEXT] = "keiner";
    if (counters.lastRecord != 0) {
        ToolIsoTime(counters.lastRecord, lastRecord);
    }
    const char* peer = PelmorctlPeer(&counters);
    PelmorctlLine("Prozess-ID:", counters.processId);
    std::printf("%-17s %s\n", "Gestartet:", started);
    PelmorctlLine("Verbindungen:", counters.connections);
    PelmorctlLine("Ende durch X:", counters.sessionsEnded[PELMOR_END_X]);
    PelmorctlLine("Client schloss:", counters.sessionsEnded[PELMOR_END_PEER]);
    PelmorctlLine("Lese-Zeitlimit:", counters.sessionsEnded[PELMOR_END_TIMEOUT]);
    PelmorctlLine("Ende bei Fehler:", counters.sessionsEnded[PELMOR_END_FAILURE]);
    PelmorctlLine("Ende durch Stopp:", counters.sessionsEnded[PELMOR_END_STOP]);
    PelmorctlLine("Gespeichert (1):", counters.recordsStored);
    PelmorctlLine("Abgewiesen (2):", counters.recordsFailed);
    PelmorctlLine("Bytes empfangen:", counters.bytesReceived);
    std::printf("%-17s %s\n", "Letzter Satz:", lastRecord);
    std::printf("%-17s %s\n", "Verbunden mit:", peer[0] != '\0' ? peer : "niemand");
    PelmorctlLine("Bufferdatei neu:", counters.reopenings);
}

void PelmorctlShowCountersJson(int running) {
    PelmorCounters counters{};
    if (!running || !PelmorctlReadCounters(&counters)) {
        std::printf("{\"running\": %s}\n", running ? "true" : "false");
        return;
    }
    char started[TOOL_TIME_TEXT];
    ToolIsoTime(counters.started, started);
    char lastRecord[TOOL_TIME_TEXT + 2] = "null";
    if (counters.lastRecord != 0) {
        char iso[TOOL_TIME_TEXT];
        ToolIsoTime(counters.lastRecord, iso);
        std::snprintf(lastRecord, sizeof lastRecord, "\"%s\"", iso);
    }
    const char* peer = PelmorctlPeer(&counters);
    char peerJson[sizeof counters.peer + 2] = "null";
    if (peer[0] != '\0') {
        std::snprintf(peerJson, sizeof peerJson, "\"%s\"", peer);
    }
    std::printf(
        "{\"running\": true, \"pid\": %" PRIu32 ", \"started\": \"%s\", "
        "\"connections\": %" PRIu64 ", \"ended_x\": %" PRIu64 ", \"ended_peer\": %" PRIu64
        ", \"read_timeouts\": %" PRIu64 ", \"ended_failure\": %" PRIu64 ", \"ended_stop\": %" PRIu64
        ", \"records_stored\": %" PRIu64 ", \"records_failed\": %" PRIu64
        ", \"bytes_received\": %" PRIu64 ", \"last_record\": %s, \"peer\": %s, "
        "\"reopenings\": %" PRIu64 "}\n",
        counters.processId, started, counters.connections, counters.sessionsEnded[PELMOR_END_X],
        counters.sessionsEnded[PELMOR_END_PEER], counters.sessionsEnded[PELMOR_END_TIMEOUT],
        counters.sessionsEnded[PELMOR_END_FAILURE], counters.sessionsEnded[PELMOR_END_STOP],
        counters.recordsStored, counters.recordsFailed, counters.bytesReceived, lastRecord,
        peerJson, counters.reopenings);
}
