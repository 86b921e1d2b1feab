#include "readiness.h"

#include <cstdio>
#include <ctime>

#include "counting.h"
#include "platform/service_manager.h"

namespace {

// "STATUS=" and a short line; a text longer than this is cut, never overrun.
constexpr std::size_t READINESS_TEXT_SIZE = 160;

int32_t readinessPort = 0;
int64_t readinessSecond = -1; // of the last look at the figures
uint64_t readinessStored = 0; // records stored when the status was last told
int readinessReady = 0;

void ReadinessTell(const char* prefix) {
    const PelmorCounters* figures = PelmorCountersView();
    char text[READINESS_TEXT_SIZE];
    char last[32] = "";
    const std::time_t lastRecord = static_cast<std::time_t>(figures->lastRecord);
    const std::tm* local = figures->lastRecord > 0 ? std::localtime(&lastRecord) : nullptr;
    if (local == nullptr ||
        std::strftime(last, sizeof last, ", letzter %Y-%m-%d %H:%M:%S", local) == 0) {
        last[0] = '\0';
    }
    std::snprintf(text, sizeof text, "%sSTATUS=Port %ld: %llu Saetze gespeichert%s", prefix,
                  static_cast<long>(readinessPort),
                  static_cast<unsigned long long>(figures->recordsStored), last);
    readinessStored = figures->recordsStored;
    PlatformNotifyServiceManager(text);
}

} // namespace

void PelmorTellReady(const ReceiverContext* context) {
    readinessPort = context->port;
    readinessReady = 1;
    ReadinessTell("READY=1\n");
}

void PelmorTellProgress(int64_t now) {
    if (!readinessReady || now < 0 || now == readinessSecond) {
        return;
    }
    readinessSecond = now;
    if (PelmorCountersView()->recordsStored != readinessStored) {
        ReadinessTell("");
    }
}

void PelmorTellStopping(void) {
    if (readinessReady) {
        readinessReady = 0;
        PlatformNotifyServiceManager("STOPPING=1\nSTATUS=Wird beendet");
    }
}
