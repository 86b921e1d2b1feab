// pelmorctl metrics on Linux: receivers by their runtime folders, and the
// shipper through its own state and backlog code.
#include "pelmorctl_metrics.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

#include "pelmor-ship/ship.h"
#include "runtime_folders.h"

namespace {

// The folder the instances' folders lie in, and their names' start: with
// the prefix /run/pelmor- that is /run and "pelmor-".
void PelmorctlInstanceBase(std::string* base, std::string* start) {
    const std::string prefix = PELMOR_INSTANCE_RUNTIME_PREFIX;
    const std::size_t slash = prefix.rfind('/');
    *base = slash == std::string::npos ? "." : prefix.substr(0, slash);
    *start = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    // A user's own receivers keep their objects below XDG_RUNTIME_DIR, as
    // the tools do without PELMOR_RUNTIME_DIR.
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] != '\0') {
        *base = xdg;
    }
}

} // namespace

std::vector<PelmorctlReceiverPlace> PelmorctlAllReceivers() {
    std::string base;
    std::string start;
    PelmorctlInstanceBase(&base, &start);
    // "pelmor-" names the instances; "pelmor" is the folder of the package's
    // receiver (RuntimeDirectory of pelmor.service).
    const std::string single = "pelmor";
    std::vector<PelmorctlReceiverPlace> places;
    struct stat info {};
    if (lstat((base + "/" + single).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        places.push_back({single, base + "/" + single});
    }
    for (const std::string& name : PelmorctlFoldersNamed(base, start)) {
        places.push_back({name.substr(start.size()), base + "/" + name});
    }
    std::sort(places.begin(), places.end(),
              [](const PelmorctlReceiverPlace& a, const PelmorctlReceiverPlace& b) {
                  return a.name < b.name;
              });
    return places;
}

void PelmorctlMetricsBinaryOutput() {}

void PelmorctlUseReceiverPlace(const PelmorctlReceiverPlace& place) {
    if (!place.runtimeDir.empty()) {
        setenv("PELMOR_RUNTIME_DIR", place.runtimeDir.c_str(), 1);
    }
}

int PelmorctlShipRead(const std::string& bufferFile, PelmorctlShipFigures* figures) {
    if (geteuid() == 0) {
        ShipAcceptAnyOwner(); // root reads the files of the shipper's user
    }
    ShipConfig config{};
    config.bufferFile = bufferFile;
    *figures = PelmorctlShipFigures{};
    long holder = 0;
    ShipState state{};
    std::string error;
    figures->running = ShipLock(config, false, &holder, &error) == 0 && holder != 0;
    const int loaded = ShipStateLoad(ShipStatePath(config), &state, &error);
    if (loaded < 0) {
        return 1;
    }
    if (loaded == 0) {
        state.generation = 1; // nothing shipped yet: the whole first file waits
    }
    const ShipBacklog backlog = ShipMeasureBacklog(config, state);
    const std::time_t now = std::time(nullptr);
    figures->stateReadable = 1;
    figures->records = backlog.records;
    figures->bytes = backlog.records * SHIP_RECORD;
    figures->files = backlog.files;
    figures->oldestAge = backlog.oldest != 0 && now > backlog.oldest
                             ? static_cast<int64_t>(now - backlog.oldest)
                             : 0;
    figures->errorTime = state.errorTime;
    // A live file left by a shipper that did not end cleanly is not read.
    ShipLive live{};
    if (figures->running && ShipLiveLoad(ShipLivePath(config), &live) == 1) {
        figures->live = 1;
        figures->shipped = live.shipped;
        figures->connected = live.connected;
        figures->outage = live.outageSince != 0 && now > live.outageSince
                              ? static_cast<int64_t>(now - live.outageSince)
                              : 0;
    }
    return 1;
}
