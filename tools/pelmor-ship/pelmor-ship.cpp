// pelmor-ship: carries the records of the receiver's buffer file into a
// NATS JetStream stream, each exactly once, and removes what is stored.
//
// One thread reads the files and publishes; the NATS library's thread
// reports each acknowledgement into the window of records in flight. The
// durable position (ShipState) moves over the records acknowledged without
// a gap; a file behind it is removed.
#include <algorithm>
#include <cstdarg>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/exit_codes.h"
#include "common/iso_time.h"
#include "common/text_line.h"
#include "protocol/decimal.h"
#include "pelmor-ship/ship_settings.h"
#include "ship_nats.h"

namespace {

constexpr int SHIP_EXIT_OK = TOOL_EXIT_OK;
constexpr int SHIP_EXIT_FAILED = TOOL_EXIT_FAILED;
constexpr int SHIP_EXIT_USAGE = TOOL_EXIT_USAGE;
constexpr int SHIP_EXIT_NOT_RUNNING = TOOL_EXIT_NOT_RUNNING;
constexpr int64_t SHIP_SAVE_EVERY_MS = 200;
constexpr int64_t SHIP_IDLE_WAIT_MS = 500;
constexpr int64_t SHIP_RETRY_FIRST_MS = 100;
constexpr int64_t SHIP_RETRY_MAX_MS = 10000;
constexpr int32_t SHIP_READ_BATCH = 64; // records read at once

// A record in flight.
enum SlotStatus { SLOT_PENDING, SLOT_STORED, SLOT_FAILED };
struct Slot {
    int64_t generation;
    int64_t index;
    int status;
    uint64_t sequence; // the stream's, once stored
    char id[SHIP_ID_MAX];
    unsigned char record[SHIP_RECORD];
};

// The file the next record is read from.
struct Cursor {
    int64_t generation;
    int64_t index;
    int fd;       // -1 while not open
    bool renamed; // BUFFDATEI.<generation>, else the live file
    ino_t inode;
    dev_t device;
    unsigned char batch[SHIP_READ_BATCH * SHIP_RECORD];
    int32_t batchCount;
    int32_t batchAt;
    int64_t batchIndex; // index of batch[0]
};

ShipConfig Config;
ShipState State; // as last saved, with the position moved on
std::string StatePath;
bool StateDirtyOnDisk = false;
int64_t LastSaveMs = 0; // on the steady clock

std::mutex WindowLock; // Slots between Head and Next, shared with the ack thread
std::vector<Slot> Slots;
int64_t Head = 0; // first record in flight (not yet stored)
int64_t Next = 0; // next slot to fill
bool AnyFailed = false;
std::string LastAckError;

std::vector<uint64_t> FloorRing; // sequences of the last records passed
int64_t FloorPassed = 0;
std::set<std::string> Present; // ids of ours found in the stream at the start

Cursor Read{};
int WakeFd = -1;
int WatchFd = -1;
std::atomic<bool> StopAsked{false};

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s pelmor-ship: %s\n", stamp, text);
}

void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(WakeFd, &one, sizeof one);
}

void OnSignal(int) {
    StopAsked = true;
    Wake();
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t MillisSince(std::chrono::steady_clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 then)
        .count();
}

// The last failure, kept for --status; logged by the caller.
void NoteError(const std::string& text) {
    State.errorTime = std::time(nullptr);
    std::snprintf(State.error, sizeof State.error, "%s", text.c_str());
}

// What pelmorctl metrics shows of the running shipper, and when it was last written.
ShipLive Live{};
ShipLive LiveWritten{};
std::time_t LiveWrittenAt = 0;
std::string LivePath;

// Writes the live figures at most once a second, at once when the
// connection or an outage begins or ends.
void PublishLive(bool connected, bool outage) {
    const std::time_t now = std::time(nullptr);
    Live.connected = connected ? 1 : 0;
    if (!outage) {
        Live.outageSince = 0;
    } else if (Live.outageSince == 0) {
        Live.outageSince = now;
    }
    const bool turned =
        Live.connected != LiveWritten.connected || Live.outageSince != LiveWritten.outageSince;
    if (!turned && (now == LiveWrittenAt || Live.shipped == LiveWritten.shipped)) {
        return;
    }
    if (ShipLiveSave(LivePath, Live) == 1) {
        LiveWritten = Live;
        LiveWrittenAt = now;
    }
}

ShipState Saved;          // what the file holds
bool SaveFailing = false; // said once, not at every try
int64_t RemovedBelow = 0; // renamed files before this generation are gone

// Saves the state; once it is on the disk, renamed files the position has
// left behind are removed.
bool Save() {
    if (ShipStateSave(StatePath, State) == 0) {
        if (!SaveFailing) {
            Log("Fehler: Zustandsdatei %s nicht geschrieben: %s", StatePath.c_str(),
                std::strerror(errno));
        }
        SaveFailing = true;
        return false;
    }
    if (SaveFailing) {
        Log("Zustandsdatei %s wieder geschrieben", StatePath.c_str());
    }
    SaveFailing = false;
    Saved = State;
    StateDirtyOnDisk = State.dirty != 0;
    LastSaveMs = NowMs();
    if (RemovedBelow != State.generation) {
        ShipRemoveShipped(Config, State.generation);
        RemovedBelow = State.generation;
    }
    return true;
}

// The position is saved at most every SHIP_SAVE_EVERY_MS: what was stored
// after the last save goes out again after a crash, with the same ids.
void SaveIfMoved() {
    if ((State.position != Saved.position || State.generation != Saved.generation ||
         State.errorTime != Saved.errorTime) &&
        NowMs() - LastSaveMs >= SHIP_SAVE_EVERY_MS) {
        Save();
    }
}

// ---- Files ----

// Whole records in the open file: a record still being written is not yet there.
int64_t WholeRecords(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? info.st_size / SHIP_RECORD : 0;
}

// Reads record index of a file into record: true when it is there whole.
bool ReadRecordAt(int fd, int64_t index, unsigned char* record) {
    ssize_t got = 0;
    do {
        got = pread(fd, record, SHIP_RECORD, static_cast<off_t>(index * SHIP_RECORD));
    } while (got < 0 && errno == EINTR);
    return got == SHIP_RECORD;
}

// The last record of generation's file and its id; false when there is none.
bool PreviousOf(int64_t generation, unsigned char* record, char (&id)[SHIP_ID_MAX]);

// The id of a record. The receiver writes the record that meets a hand-off
// (the file renamed under it) again into the new live file: when the first
// record of a file is the last of the file before, byte for byte, it is
// that record and keeps its id.
void IdOf(int64_t generation, int64_t index, const unsigned char* record, char (&id)[SHIP_ID_MAX]) {
    unsigned char previous[SHIP_RECORD];
    if (index == 0 && generation > 1 && PreviousOf(generation - 1, previous, id) &&
        std::memcmp(previous, record, SHIP_RECORD) == 0) {
        return;
    }
    ShipFormatId(State, generation, index, id);
}

bool PreviousOf(int64_t generation, unsigned char* record, char (&id)[SHIP_ID_MAX]) {
    int fd = -1;
    std::string why;
    if (ShipOpenOwn(ShipGenerationPath(Config, generation), O_RDONLY, &fd, &why) == 1) {
        const int64_t count = WholeRecords(fd);
        const bool read = count > 0 && ReadRecordAt(fd, count - 1, record);
        close(fd);
        if (read) {
            IdOf(generation, count - 1, record, id);
        }
        return read;
    }
    if (State.previousGeneration == generation) {
        std::memcpy(record, State.previousRecord, SHIP_RECORD);
        std::memcpy(id, State.previousId, sizeof id);
        return true;
    }
    return false;
}

void CloseCursorFile() {
    if (Read.fd >= 0) {
        close(Read.fd);
    }
    Read.fd = -1;
    Read.batchCount = 0;
    Read.batchAt = 0;
}

std::string FileTrouble; // the file problem said last: each is logged once

// A file the shipper will not use, or cannot move: logged once, kept for
// --status. The shipper waits on it and goes on with nothing else.
void ReportFile(const std::string& why) {
    if (why == FileTrouble) {
        return;
    }
    FileTrouble = why;
    Log("Fehler: %s; nicht verwendet, der Versand wartet hier", why.c_str());
    NoteError(why);
}

// A renamed file with a record the codec refuses: not ours to publish nor
// to delete. Set aside and said; its generation counts as done.
void SetAsideDamaged(const std::string& path, int64_t index) {
    const std::string aside = ShipSetAside(path);
    if (aside.empty()) {
        ReportFile(path + " hat ab Satz " + std::to_string(index) +
                   " keine gueltigen Saetze und ist nicht beiseitegelegt: " + std::strerror(errno));
        return;
    }
    const std::string what = path + " hat ab Satz " + std::to_string(index) +
                             " keine gueltigen Saetze; beiseitegelegt als " + aside;
    Log("Fehler: %s", what.c_str());
    NoteError(what);
    CloseCursorFile();
    ++Read.generation;
    Read.index = 0;
}

// Opens the cursor's file: the renamed file of its generation, else the
// live file. False when there is none yet, or it is not the shipper's to
// read (then it waits: the name says where its records would be).
bool OpenCursorFile() {
    for (int step = 0; step < 4; ++step) {
        const std::string renamed = ShipGenerationPath(Config, Read.generation);
        std::string why;
        int opened = ShipOpenOwn(renamed, O_RDONLY, &Read.fd, &why);
        Read.renamed = opened != 0;
        if (opened == 0) {
            opened = ShipOpenOwn(Config.bufferFile, O_RDONLY, &Read.fd, &why);
        }
        if (opened < 0) {
            ReportFile(why);
            return false;
        }
        if (opened == 0) {
            return false;
        }
        const int64_t damaged = Read.renamed ? ShipFirstDamaged(Read.fd) : -1;
        if (damaged >= 0) {
            SetAsideDamaged(renamed, damaged);
            continue;
        }
        struct stat info {};
        fstat(Read.fd, &info);
        Read.inode = info.st_ino;
        Read.device = info.st_dev;
        FileTrouble.clear();
        return true;
    }
    return false;
}

// Takes the live file over once enough of it is carried: renamed to its
// generation's name, the receiver begins a new one. Every record the
// receiver appends to it after the rename it also writes into the new live
// file, so the renamed file is ours to finish at once.
void HandOff() {
    if (Read.generation >= SHIP_GENERATION_MAX) {
        ReportFile(Config.bufferFile + " nicht uebernommen: Generation " +
                   std::to_string(Read.generation) + " ist die letzte, die ein Dateiname traegt");
        return;
    }
    struct stat named {};
    if (stat(Config.bufferFile.c_str(), &named) != 0 || named.st_ino != Read.inode ||
        named.st_dev != Read.device) {
        return; // the name leads elsewhere: not ours to move
    }
    const std::string target = ShipGenerationPath(Config, Read.generation);
    if (renameat2(AT_FDCWD, Config.bufferFile.c_str(), AT_FDCWD, target.c_str(),
                  RENAME_NOREPLACE) != 0) {
        ReportFile(Config.bufferFile + " nicht in " + target +
                   " umbenannt: " + std::strerror(errno));
        return;
    }
    Read.renamed = true;
}

// The next record to publish; false when none is there now.
bool NextRecord(int64_t* generation, int64_t* index, unsigned char* record) {
    for (int step = 0; step < 4; ++step) {
        if (Read.fd < 0 && !OpenCursorFile()) {
            return false;
        }
        if (Read.batchAt < Read.batchCount) {
            *generation = Read.generation;
            *index = Read.batchIndex + Read.batchAt;
            std::memcpy(record,
                        Read.batch + static_cast<std::ptrdiff_t>(Read.batchAt) * SHIP_RECORD,
                        SHIP_RECORD);
            ++Read.batchAt;
            ++Read.index;
            return true;
        }
        const int64_t whole = WholeRecords(Read.fd);
        if (Read.index < whole) {
            const int64_t want = std::min<int64_t>(whole - Read.index, SHIP_READ_BATCH);
            ssize_t got = 0;
            do {
                got = pread(Read.fd, Read.batch, static_cast<size_t>(want * SHIP_RECORD),
                            static_cast<off_t>(Read.index * SHIP_RECORD));
            } while (got < 0 && errno == EINTR);
            if (got < SHIP_RECORD) {
                return false;
            }
            Read.batchCount = static_cast<int32_t>(got / SHIP_RECORD);
            // The live file is checked as it grows: what follows a record
            // the codec refuses waits, said once, and is never published.
            for (int32_t i = 0; i < Read.batchCount; ++i) {
                RecordFields fields{};
                if (RecordDecode(Read.batch + static_cast<std::ptrdiff_t>(i) * SHIP_RECORD,
                                 &fields) != RECORD_OK) {
                    Read.batchCount = i;
                    if (i == 0) {
                        ReportFile(Config.bufferFile + " hat an Satz " +
                                   std::to_string(Read.index) + " keinen gueltigen Satz");
                        return false;
                    }
                    break;
                }
            }
            Read.batchAt = 0;
            Read.batchIndex = Read.index;
            continue;
        }
        if (Read.renamed) {
            // Finished: what follows is in the next generation's file.
            CloseCursorFile();
            ++Read.generation;
            Read.index = 0;
            continue;
        }
        if (Read.index * SHIP_RECORD >= Config.handoffBytes) {
            HandOff();
            continue;
        }
        return false;
    }
    return false;
}

// ---- The window of records in flight ----

Slot& SlotOf(int64_t number) {
    return Slots[static_cast<size_t>(number % static_cast<int64_t>(Slots.size()))];
}

// Remembers the sequence of a record passed; the one passed a window
// earlier was stored before any record from the position on was published.
void PassSequence(uint64_t sequence) {
    const size_t at = static_cast<size_t>(FloorPassed % static_cast<int64_t>(FloorRing.size()));
    if (FloorPassed >= static_cast<int64_t>(FloorRing.size())) {
        State.floor = std::max(State.floor, FloorRing[at]);
    }
    FloorRing[at] = sequence;
    ++FloorPassed;
}

// The position moves into the next generation: the file before is stored
// whole. Its last record is kept (for a hand-off copy in the next file),
// the position saved, then the file removed.
void FinishGeneration() {
    const int64_t finished = State.generation;
    unsigned char record[SHIP_RECORD];
    char id[SHIP_ID_MAX];
    if (PreviousOf(finished, record, id)) {
        State.previousGeneration = finished;
        std::memcpy(State.previousRecord, record, SHIP_RECORD);
        std::memcpy(State.previousId, id, sizeof id);
    }
    State.generation = finished + 1;
    State.position = 0;
    Save(); // and the file goes once the new position is on the disk
}

// Moves the position over the records stored without a gap.
void Advance() {
    std::lock_guard<std::mutex> guard(WindowLock);
    while (Head < Next && SlotOf(Head).status == SLOT_STORED) {
        const Slot& slot = SlotOf(Head);
        while (slot.generation > State.generation) {
            FinishGeneration();
        }
        State.position = slot.index + 1;
        PassSequence(slot.sequence);
        ++Head;
        ++Live.shipped;
    }
    // Nothing in flight and the reading gone on to a later file.
    while (Head == Next && Read.generation > State.generation) {
        FinishGeneration();
    }
}

void Publish(Slot& slot) {
    if (ShipNatsPublish(Config, slot.id, slot.record) == 0) {
        std::lock_guard<std::mutex> guard(WindowLock);
        slot.status = SLOT_FAILED;
        AnyFailed = true;
        LastAckError = "Veroeffentlichung nicht uebergeben";
    }
}

// Publishes new records while the window has room.
void FillWindow() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(WindowLock);
            if (Next - Head >= static_cast<int64_t>(Slots.size())) {
                return;
            }
        }
        if (!StateDirtyOnDisk) {
            // Said on the disk before the first publication: from now on
            // the stream may hold records past the saved position.
            State.dirty = 1;
            if (!Save()) {
                return;
            }
        }
        Slot& slot = SlotOf(Next);
        if (!NextRecord(&slot.generation, &slot.index, slot.record)) {
            return;
        }
        IdOf(slot.generation, slot.index, slot.record, slot.id);
        const bool present = Present.count(slot.id) != 0;
        {
            std::lock_guard<std::mutex> guard(WindowLock);
            slot.status = present ? SLOT_STORED : SLOT_PENDING;
            slot.sequence = State.floor;
            ++Next;
        }
        if (!present) {
            Publish(slot);
        }
    }
}

// Publishes again what failed, with the same ids: the stream drops the
// copies of what it stored after all.
void RetryFailed() {
    std::vector<Slot*> again;
    {
        std::lock_guard<std::mutex> guard(WindowLock);
        for (int64_t number = Head; number < Next; ++number) {
            Slot& slot = SlotOf(number);
            if (slot.status == SLOT_FAILED && Present.count(slot.id) != 0) {
                slot.status = SLOT_STORED; // stored after all, its answer lost
                slot.sequence = State.floor;
            } else if (slot.status == SLOT_FAILED) {
                slot.status = SLOT_PENDING;
                again.push_back(&slot);
            }
        }
        AnyFailed = false;
    }
    for (Slot* slot : again) {
        Publish(*slot);
    }
}

void NoteFound(const char* id) {
    Present.insert(id);
}

} // namespace

void ShipOnAck(const char* id, bool stored, uint64_t sequence, const char* error) {
    {
        std::lock_guard<std::mutex> guard(WindowLock);
        for (int64_t number = Head; number < Next; ++number) {
            Slot& slot = SlotOf(number);
            if (slot.status == SLOT_PENDING && std::strcmp(slot.id, id) == 0) {
                slot.status = stored ? SLOT_STORED : SLOT_FAILED;
                slot.sequence = sequence;
                if (!stored) {
                    AnyFailed = true;
                    LastAckError = error;
                }
                break;
            }
        }
    }
    Wake();
}

namespace {

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
bool LoadConfig(const char* path) {
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
    Config.bufferFile = buffer.value.textValue;
    Config.natsUrl = TextSetting(SHIP_NATSURL);
    Config.stream = TextSetting(SHIP_STREAM);
    Config.subject = TextSetting(SHIP_SUBJECT);
    Config.source = TextSetting(SHIP_QUELLE);
    if (Config.source.empty()) {
        Config.source = HostName();
    }
    Config.replicas = NumberSetting(SHIP_REPLIKATE);
    Config.duplicateWindow = NumberSetting(SHIP_DUPFENSTER);
    Config.window = NumberSetting(SHIP_FENSTER);
    Config.handoffBytes = static_cast<int64_t>(NumberSetting(SHIP_UEBERGABE)) * 1024;
    // A receiver with a bound on its buffer file answers "2" once the file
    // reaches it: the file is taken over at half the bound at the latest.
    const ParameterDescriptor& bound = ShipTable[PELMOR_SETTING_MAXBUFSIZE];
    if (bound.found && bound.valid && bound.value.intValue > 0) {
        Config.handoffBytes =
            std::min(Config.handoffBytes, static_cast<int64_t>(bound.value.intValue) * 512);
    }
    Config.credentials = TextSetting(SHIP_NATSCREDS);
    Config.caFile = TextSetting(SHIP_NATSCA);
    Config.certFile = TextSetting(SHIP_NATSCERT);
    Config.keyFile = TextSetting(SHIP_NATSKEY);
    StatePath = ShipStatePath(Config);
    LivePath = ShipLivePath(Config);
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

int ShowStatus(bool json) {
    long holder = 0;
    std::string problem;
    const int lock = ShipLock(Config, false, &holder, &problem);
    ShipState state{};
    std::string error;
    const int loaded = ShipStateLoad(StatePath, &state, &error);
    if (loaded < 0) {
        std::fprintf(stderr, "pelmor-ship: Zustandsdatei %s nicht lesbar: %s\n", StatePath.c_str(),
                     error.c_str());
        return SHIP_EXIT_FAILED;
    }
    if (loaded == 0) {
        state.generation = 1;
    }
    if (ShipStatePlausible(Config, state, &error) == 0) {
        std::fprintf(stderr, "pelmor-ship: Zustandsdatei %s kann nicht stimmen: %s\n",
                     StatePath.c_str(), error.c_str());
        return SHIP_EXIT_FAILED;
    }
    const ShipBacklog backlog = ShipMeasureBacklog(Config, state);
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
            "\"refused\": %s}\n",
            running ? "true" : "false", running ? holder : 0L,
            JsonText(Config.stream.c_str()).c_str(), backlog.records, backlog.records * SHIP_RECORD,
            backlog.files,
            backlog.oldest != 0 ? ("\"" + LocalTime(backlog.oldest) + "\"").c_str() : "null", age,
            state.errorTime != 0 ? JsonText(state.error).c_str() : "null",
            state.errorTime != 0
                ? ("\"" + LocalTime(static_cast<std::time_t>(state.errorTime)) + "\"").c_str()
                : "null",
            problem.empty() ? "null" : JsonText(problem.c_str()).c_str());
    } else {
        if (running) {
            std::printf("Versand:          laeuft (Prozess %ld)\n", holder);
        } else {
            std::printf("Versand:          laeuft nicht\n");
        }
        std::printf("Stream:           %s auf %s\n", Config.stream.c_str(),
                    ShipUrlShown(Config.natsUrl).c_str());
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
            std::printf("Letzter Fehler:   %s %s\n",
                        LocalTime(static_cast<std::time_t>(state.errorTime)).c_str(), state.error);
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

// Waits for a file change, an acknowledgement or a signal, at most milliseconds.
void WaitForWork(int64_t milliseconds) {
    pollfd watched[2] = {{WakeFd, POLLIN, 0}, {WatchFd, POLLIN, 0}};
    if (poll(watched, WatchFd >= 0 ? 2 : 1, static_cast<int>(milliseconds)) > 0) {
        char drain[4096];
        for (const pollfd& one : watched) {
            if ((one.revents & POLLIN) != 0) {
                [[maybe_unused]] const ssize_t got = read(one.fd, drain, sizeof drain);
            }
        }
    }
}

// Watches the buffer file's folder: a record appended, a file made.
void StartWatching() {
    WatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::size_t slash = Config.bufferFile.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : Config.bufferFile.substr(0, slash + 1);
    if (WatchFd >= 0 &&
        inotify_add_watch(WatchFd, folder.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        close(WatchFd);
        WatchFd = -1; // falls back to looking every half second
    }
}

// Loads the state, or makes the first one. False after saying why.
bool LoadState() {
    std::string error;
    const int loaded = ShipStateLoad(StatePath, &State, &error);
    if (loaded < 0) {
        Log("Fehler: Zustandsdatei %s nicht lesbar: %s; pelmor-ship startet nicht (nichts ist "
            "verloren: die Bufferdateien bleiben)",
            StatePath.c_str(), error.c_str());
        return false;
    }
    if (loaded > 0 && ShipStatePlausible(Config, State, &error) == 0) {
        Log("Fehler: Zustandsdatei %s kann nicht stimmen: %s; pelmor-ship startet nicht (nichts "
            "ist verloren: die Bufferdateien bleiben)",
            StatePath.c_str(), error.c_str());
        return false;
    }
    if (loaded == 0) {
        ShipStateNew(&State, Config.source);
        // Renamed files without a state: carry them too, oldest first.
        const int64_t oldest = ShipOldestGeneration(Config);
        if (oldest != 0) {
            State.generation = oldest;
        }
        if (!Save()) {
            return false;
        }
    }
    Saved = State;
    StateDirtyOnDisk = State.dirty != 0;
    const int removed = ShipRemoveShipped(Config, State.generation);
    RemovedBelow = State.generation;
    if (removed > 0) {
        Log("%d bereits gespeicherte Datei(en) entfernt", removed);
    }
    Read.generation = State.generation;
    Read.index = State.position;
    Read.fd = -1;
    return true;
}

// Once per connection: the stream made sure of, and when the last run may
// have left records in the stream past the position, which those are.
bool Prepare(bool* scanned, std::string* error) {
    uint64_t last = 0;
    if (ShipNatsStream(Config, &last, error) == 0) {
        return false;
    }
    if (*scanned) {
        return true;
    }
    if (State.dirty == 0) {
        State.floor = last; // nothing of ours after this
    } else {
        if (State.floor > last) {
            State.floor = 0; // a stream made anew
        }
        char prefix[SHIP_ID_MAX];
        std::snprintf(prefix, sizeof prefix, "%s:%s:", State.source, State.instance);
        if (ShipNatsScan(Config, State.floor, last, prefix, NoteFound) == 0) {
            *error = "Stream " + Config.stream + " ab Sequenz " + std::to_string(State.floor + 1) +
                     " nicht gelesen";
            return false;
        }
        Log("Stream ab Sequenz %" PRIu64 " gelesen, %zu Saetze dieser Quelle "
            "schon darin",
            State.floor + 1, Present.size());
    }
    *scanned = true;
    return true;
}

// Waits for the records in flight, at most SHIP_ACK_WAIT_MS more.
void Drain() {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        Advance();
        {
            std::lock_guard<std::mutex> guard(WindowLock);
            bool waiting = false;
            for (int64_t number = Head; number < Next; ++number) {
                waiting = waiting || SlotOf(number).status == SLOT_PENDING;
            }
            if (!waiting || MillisSince(start) > SHIP_ACK_WAIT_MS) {
                State.dirty = Head != Next;
                return;
            }
        }
        WaitForWork(50);
    }
}

int Run() {
    long holder = 0;
    std::string lockError;
    const int lock = ShipLock(Config, true, &holder, &lockError);
    if (lock == 0) {
        std::fprintf(stderr, "pelmor-ship: laeuft schon fuer %s (Prozess %ld)\n",
                     Config.bufferFile.c_str(), holder);
        return SHIP_EXIT_FAILED;
    }
    if (lock < 0) {
        std::fprintf(stderr, "pelmor-ship: Sperre fuer %s nicht zu setzen: %s\n",
                     Config.bufferFile.c_str(), lockError.c_str());
        return SHIP_EXIT_FAILED;
    }
    if (!LoadState()) {
        return SHIP_EXIT_FAILED;
    }
    Slots.assign(static_cast<size_t>(Config.window), Slot{});
    FloorRing.assign(static_cast<size_t>(Config.window), 0);
    WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    StartWatching();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    for (int32_t setting : {SHIP_NATSCREDS, SHIP_NATSKEY, SHIP_NATSCERT, SHIP_NATSCA}) {
        if (ShipEntryState(setting) > 0 &&
            ShipSecretFileProblem(setting, ShipEntry(setting).value.textValue, &error)) {
            Log("Fehler: %s; pelmor-ship startet nicht", error.c_str());
            return SHIP_EXIT_FAILED;
        }
    }
    if (ShipNatsStart(Config, &error) == 0) {
        Log("Fehler: %s", error.c_str());
        return SHIP_EXIT_FAILED;
    }
    Log("gestartet: %s -> Stream %s (%s) auf %s, Quelle %s", Config.bufferFile.c_str(),
        Config.stream.c_str(), Config.subject.c_str(), ShipUrlShown(Config.natsUrl).c_str(),
        Config.source.c_str());

    bool prepared = false;
    bool scanned = false;
    auto retryAt = std::chrono::steady_clock::now();
    int64_t retryPause = SHIP_RETRY_FIRST_MS;
    // An outage (NATS unreachable, or records not acknowledged) is logged
    // once when it begins and once when it ends, not for every try.
    std::chrono::steady_clock::time_point troubleSince;
    bool trouble = false;
    auto beginTrouble = [&](const std::string& what) {
        NoteError(what);
        if (!trouble) {
            trouble = true;
            troubleSince = std::chrono::steady_clock::now();
            Log("Fehler: %s; die Saetze bleiben in der Bufferdatei, neue Versuche mit wachsenden "
                "Pausen",
                what.c_str());
            Save();
        }
    };
    while (!StopAsked) {
        if (ShipNatsTakeLost()) {
            // What went out before the connection was lost may be stored
            // with its answer lost; an outage can outlast the duplicate
            // window, so the stream is read again before anything is resent.
            prepared = false;
            scanned = false;
            beginTrouble("NATS nicht erreichbar (" + ShipUrlShown(Config.natsUrl) + ")");
        }
        Advance();
        SaveIfMoved();
        PublishLive(ShipNatsConnected(), trouble || !ShipNatsConnected());
        if (!ShipNatsConnected()) {
            WaitForWork(SHIP_IDLE_WAIT_MS);
            continue;
        }
        if (!prepared) {
            if (std::chrono::steady_clock::now() < retryAt) {
                WaitForWork(50);
                continue;
            }
            std::string why;
            prepared = Prepare(&scanned, &why);
            if (!prepared) {
                beginTrouble(why);
                retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryPause);
                retryPause = std::min(retryPause * 2, SHIP_RETRY_MAX_MS);
                continue;
            }
            retryPause = SHIP_RETRY_FIRST_MS;
        }
        bool failed = false;
        std::string ackError;
        {
            std::lock_guard<std::mutex> guard(WindowLock);
            failed = AnyFailed;
            ackError = LastAckError;
        }
        if (failed) {
            beginTrouble("Saetze nicht bestaetigt: " + ackError);
            if (std::chrono::steady_clock::now() >= retryAt) {
                // A stream deleted while running answers nothing ("no
                // responders"): made anew, as at the start, before the retry.
                uint64_t last = 0;
                std::string why;
                if (ShipNatsStream(Config, &last, &why) != 0) {
                    RetryFailed();
                } else {
                    NoteError(why);
                }
                retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryPause);
                retryPause = std::min(retryPause * 2, SHIP_RETRY_MAX_MS);
            }
        } else if (trouble && Head == Next) {
            trouble = false;
            retryPause = SHIP_RETRY_FIRST_MS;
            Log("wieder in Ordnung nach %" PRId64 " s", MillisSince(troubleSince) / 1000);
        }
        if (!trouble) {
            FillWindow();
        }
        WaitForWork(trouble ? 50 : SHIP_IDLE_WAIT_MS);
    }
    Drain();
    Save();
    ShipNatsStop();
    unlink(LivePath.c_str()); // its figures end with the shipper
    Log("beendet: %s bis Satz %" PRId64 " der Generation %" PRId64 " gespeichert%s",
        Config.stream.c_str(), State.position, State.generation,
        State.dirty ? "; unbestaetigte Saetze gehen beim naechsten Start wieder hinaus" : "");
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
    if (!LoadConfig(path)) {
        return SHIP_EXIT_FAILED;
    }
    return status ? ShowStatus(json) : Run();
}
