// The live counters in the named shared memory "PelmorCounters".
#include "counting.h"
#include "protocol/names.h"

#include <cstring>
#include <ctime>

#include "platform/kernel_objects.h"

namespace {

PelmorCounters countersOwn{}; // while there is no shared object
PelmorCounters* counters = &countersOwn;
HANDLE countersMapping = nullptr;

} // namespace

int PelmorCountersOpen(void) {
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(PelmorCounters), PELMOR_COUNTERS_NAME);
    if (mapping == nullptr) {
        return 0;
    }
    // Another process may hold the object of an earlier receiver: begin anew.
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(PelmorCounters));
    if (view == nullptr) {
        CloseHandle(mapping); // a successful close leaves the last error as it is
        return 0;
    }
    countersMapping = mapping;
    counters = static_cast<PelmorCounters*>(view);
    std::memset(counters, 0, sizeof *counters);
    counters->version = PELMOR_COUNTERS_VERSION;
    counters->processId = GetCurrentProcessId();
    counters->started = static_cast<int64_t>(std::time(nullptr));
    counters->magic = PELMOR_COUNTERS_MAGIC;
    return 1;
}

void PelmorCountersClose(void) {
    if (countersMapping == nullptr) {
        return;
    }
    UnmapViewOfFile(counters);
    CloseHandle(countersMapping);
    countersMapping = nullptr;
    counters = &countersOwn;
}

void PelmorCountConnection(const char* peer) {
    counters->connections++;
    std::size_t length = 0;
    while (length + 1 < sizeof counters->peer && peer[length] != '\0') {
        counters->peer[length] = peer[length];
        length++;
    }
    counters->peer[length] = '\0';
}

void PelmorCountMessage(int32_t bytes) {
    counters->bytesReceived += static_cast<uint64_t>(bytes > 0 ? bytes : 0);
}

void PelmorCountRecord(bool stored, int64_t stampTime) {
    if (!stored) {
        counters->recordsFailed++;
        return;
    }
    counters->recordsStored++;
    if (stampTime > 0) {
        counters->lastRecord = stampTime;
    }
}

void PelmorCountReopening(void) {
    counters->reopenings++;
}

void PelmorCountSessionEnd(int32_t why) {
    if (why >= 0 && why < PELMOR_END_KINDS) {
        counters->sessionsEnded[why]++;
    }
    counters->peer[0] = '\0';
}
