// pelmorctl verify: every record of a buffer file checked column by column
// and the counters followed through the sessions; the problems, then a summary.
#include "pelmorctl.h"

#include <cstdio>
#include <cstring>

#include "buffer_file.h"

namespace {

constexpr int64_t VERIFY_PROBLEMS_SHOWN = 20;
constexpr int32_t VERIFY_COUNTER_CYCLE = RECORD_COUNTER_MAX + 1; // 999 goes on with 000
constexpr int32_t VERIFY_FIRST_SEQ = 1;

struct VerifyState {
    int64_t records; // whole records, broken ones included
    int64_t sessions;
    int64_t problems;
    int64_t withoutTime; // records with the zero stamp
    int32_t lastSeq;     // -1: nothing to follow (start, or a counter without digits)
    int32_t firstSeq;    // the first record's counter when it is not 001, else -1
    char earliest[RECORD_STAMP_WIDTH + 1]; // "" until a record has a time
    char latest[RECORD_STAMP_WIDTH + 1];
};

BufferReader verifyReader; // one block of records; too large for the stack

void VerifyProblem(VerifyState* state, int64_t offset, const char* text) {
    if (++state->problems <= VERIFY_PROBLEMS_SHOWN) {
        const int64_t number = offset / PELMOR_DISK_RECORD_LENGTH + 1;
        std::printf("Satz %lld (Byte %lld): %s\n", static_cast<long long>(number),
                    static_cast<long long>(offset), text);
    }
}

// Within a session the counter goes 001 ... 999, 000, 001 ...; 001 begins a
// new session. After 000 a 001 may be either: it counts as going on. A file
// may begin inside a session: the receiver goes on in a new file when the
// old one was taken away by renaming.
void VerifyCounter(VerifyState* state, int32_t seq, int64_t offset) {
    const int32_t last = state->lastSeq;
    state->lastSeq = seq;
    if (seq < 0) {
        return;
    }
    if (last >= 0 && seq == (last + 1) % VERIFY_COUNTER_CYCLE) {
        return;
    }
    if (seq == VERIFY_FIRST_SEQ) {
        state->sessions++;
        return;
    }
    if (offset == 0) {
        state->sessions++;
        state->firstSeq = seq;
    } else if (last >= 0) {
        char text[80];
        std::snprintf(text, sizeof text, "Zaehler %03d nach %03d (erwartet %03d oder 001)",
                      static_cast<int>(seq), static_cast<int>(last),
                      static_cast<int>((last + 1) % VERIFY_COUNTER_CYCLE));
        VerifyProblem(state, offset, text);
    }
}

void VerifyTime(VerifyState* state, const char* stamp) {
    if (stamp[0] == '\0') {
        state->withoutTime++;
        return;
    }
    if (state->earliest[0] == '\0' || std::strcmp(stamp, state->earliest) < 0) {
        std::memcpy(state->earliest, stamp, sizeof state->earliest);
    }
    if (std::strcmp(stamp, state->latest) > 0) {
        std::memcpy(state->latest, stamp, sizeof state->latest);
    }
}

void VerifySummary(const VerifyState& state) {
    std::printf("Saetze:       %lld\n", static_cast<long long>(state.records));
    std::printf("Sitzungen:    %lld\n", static_cast<long long>(state.sessions));
    if (state.firstSeq >= 0) {
        std::printf("Dateianfang:  mitten in einer Sitzung (Zaehler %03d)\n",
                    static_cast<int>(state.firstSeq));
    }
    if (state.earliest[0] == '\0') {
        std::puts("Zeitraum:     keiner");
    } else {
        char earliest[BUFFER_STAMP_TEXT_SIZE];
        char latest[BUFFER_STAMP_TEXT_SIZE];
        BufferStampText(state.earliest, ' ', earliest);
        BufferStampText(state.latest, ' ', latest);
        std::printf("Zeitraum:     %s bis %s\n", earliest, latest);
    }
    std::printf("Ohne Zeit:    %lld\n", static_cast<long long>(state.withoutTime));
    if (state.problems == 0) {
        std::puts("Probleme:     keine");
    } else {
        std::printf("Probleme:     %lld\n", static_cast<long long>(state.problems));
    }
}

} // namespace

int PelmorctlVerify(const char* path) {
    if (BufferOpen(&verifyReader, path) == 0) {
        return TOOL_EXIT_USAGE;
    }
    VerifyState state{};
    state.lastSeq = -1;
    state.firstSeq = -1;
    const unsigned char* record = nullptr;
    int32_t length = 0;
    int64_t offset = 0;
    int result;
    while ((result = BufferNext(&verifyReader, &record, &length, &offset)) == BUFFER_RECORD) {
        RecordFields decoded;
        const int32_t problem = RecordDecode(record, &decoded);
        if (problem == RECORD_OK) {
            VerifyTime(&state, decoded.stamp);
        } else {
            VerifyProblem(&state, offset, RecordProblemText(problem));
        }
        VerifyCounter(&state, decoded.seq, offset);
        state.records++;
    }
    BufferClose(&verifyReader);
    if (result == BUFFER_READ_FAILED) {
        std::fprintf(stderr, "pelmorctl: %s: Lesefehler bei Byte %lld\n", path,
                     static_cast<long long>(offset));
        return TOOL_EXIT_USAGE;
    }
    if (result == BUFFER_TORN) {
        char text[80];
        std::snprintf(text, sizeof text, "unvollstaendig, %d von %d Bytes am Dateiende",
                      static_cast<int>(length), static_cast<int>(PELMOR_DISK_RECORD_LENGTH));
        VerifyProblem(&state, offset, text);
    }
    if (state.problems > VERIFY_PROBLEMS_SHOWN) {
        std::printf("... und %lld weitere Probleme\n",
                    static_cast<long long>(state.problems - VERIFY_PROBLEMS_SHOWN));
    }
    VerifySummary(state);
    return state.problems == 0 ? TOOL_EXIT_OK : TOOL_EXIT_FAILED;
}
