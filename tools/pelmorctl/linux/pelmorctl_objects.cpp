// Where pelmorctl finds the receivers' named objects on Linux: the caller's
// own namespace, or those of the host's service receivers (/run/pelmor for
// pelmor.service, /run/pelmor-NAME for pelmor@NAME.service).
#include "pelmorctl.h"
#include "runtime_folders.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char* const PELMORCTL_OBJECTS_HELP =
    "Die benannten Objekte liegen in $PELMOR_RUNTIME_DIR, sonst in\n"
    "$XDG_RUNTIME_DIR/pelmor, sonst in /tmp/pelmor-<uid>. Mit --instance NAME\n"
    "vor dem Befehl: in " PELMOR_INSTANCE_RUNTIME_PREFIX "NAME, denen von pelmor@NAME.service.\n"
    "Als root ohne $PELMOR_RUNTIME_DIR: in /run/pelmor, denen von pelmor.service;\n"
    "die Objekte werden mit den Rechten ihres Eigentuemers geoeffnet. status --all\n"
    "zeigt jeden Empfaenger des Dienstes (/run/pelmor und " PELMOR_INSTANCE_RUNTIME_PREFIX "*).\n";

namespace {

constexpr std::size_t PELMORCTL_INSTANCE_NAME_MAX = 200;
constexpr char PELMORCTL_SERVICE_DIR[] = "/run/pelmor";

// Whether the caller named the namespace (PELMOR_RUNTIME_DIR or --instance).
bool pelmorctlNamed = false;

// The service receivers' folders that exist now, pelmor.service's first.
std::vector<std::string> PelmorctlServiceDirs() {
    std::vector<std::string> dirs;
    struct stat info {};
    if (lstat(PELMORCTL_SERVICE_DIR, &info) == 0 && S_ISDIR(info.st_mode)) {
        dirs.push_back(PELMORCTL_SERVICE_DIR);
    }
    const std::string prefix = PELMOR_INSTANCE_RUNTIME_PREFIX;
    const std::size_t slash = prefix.rfind('/');
    const std::string parent = prefix.substr(0, slash);
    for (const std::string& name : PelmorctlFoldersNamed(parent, prefix.substr(slash + 1))) {
        dirs.push_back(parent + "/" + name);
    }
    return dirs;
}

// The unit whose named objects lie in dir.
std::string PelmorctlUnitOf(const std::string& dir) {
    const std::string prefix = PELMOR_INSTANCE_RUNTIME_PREFIX;
    if (dir.compare(0, prefix.size(), prefix) == 0) {
        return "pelmor@" + dir.substr(prefix.size()) + ".service";
    }
    return dir == PELMORCTL_SERVICE_DIR ? "pelmor.service" : "";
}

// Root opens another user's objects with that user's rights (the objects
// must belong to the user who opens them); back to root for the next.
// 1, or 0 with the exact command to run instead on standard error.
int PelmorctlActAsOwnerOf(const char* dir) {
    if (getuid() != 0) {
        return 1;
    }
    if (seteuid(0) != 0 || setegid(0) != 0) {
        return 0;
    }
    struct stat info {};
    if (stat(dir, &info) != 0 || info.st_uid == 0) {
        return 1; // none there, or root's own
    }
    if (setegid(info.st_gid) != 0 || seteuid(info.st_uid) != 0) {
        std::fprintf(stderr,
                     "pelmorctl: Rechte des Eigentuemers von %s nicht angenommen (%s); so geht "
                     "es: sudo -u \\#%lu env PELMOR_RUNTIME_DIR=%s pelmorctl BEFEHL\n",
                     dir, std::strerror(errno), static_cast<unsigned long>(info.st_uid), dir);
        return 0;
    }
    return 1;
}

} // namespace

std::vector<std::string> PelmorctlFoldersNamed(const std::string& base, const std::string& start) {
    std::vector<std::string> names;
    DIR* folder = opendir(base.c_str());
    if (folder == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (name.size() > start.size() && name.compare(0, start.size(), start) == 0 &&
            lstat((base + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            names.push_back(name);
        }
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

int PelmorctlUseInstance(const char* name) {
    // The name becomes part of one folder's name, as systemd's %i does.
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > PELMORCTL_INSTANCE_NAME_MAX || std::strchr(name, '/') != nullptr) {
        std::fprintf(stderr, "pelmorctl: ungueltiger Instanzname: %s\n", name);
        return 0;
    }
    char dir[sizeof PELMOR_INSTANCE_RUNTIME_PREFIX + PELMORCTL_INSTANCE_NAME_MAX] = "";
    std::snprintf(dir, sizeof dir, "%s%s", PELMOR_INSTANCE_RUNTIME_PREFIX, name);
    return setenv("PELMOR_RUNTIME_DIR", dir, 1) == 0 ? 1 : 0;
}

int PelmorctlFindService(void) {
    const char* own = std::getenv("PELMOR_RUNTIME_DIR");
    pelmorctlNamed = own != nullptr && own[0] != '\0';
    if (getuid() != 0) {
        return 1;
    }
    if (!pelmorctlNamed) {
        struct stat info {};
        if (lstat(PELMORCTL_SERVICE_DIR, &info) != 0 || !S_ISDIR(info.st_mode)) {
            return 1; // no service receiver: root's own namespace
        }
        setenv("PELMOR_RUNTIME_DIR", PELMORCTL_SERVICE_DIR, 1);
    }
    return PelmorctlActAsOwnerOf(std::getenv("PELMOR_RUNTIME_DIR"));
}

int PelmorctlHintService(const char* command) {
    if (pelmorctlNamed) {
        return 0;
    }
    const std::vector<std::string> dirs = PelmorctlServiceDirs();
    if (dirs.empty()) {
        return 0;
    }
    std::string units;
    for (const std::string& dir : dirs) {
        units += " " + PelmorctlUnitOf(dir);
    }
    if (std::strcmp(command, "stop") == 0) {
        std::fprintf(stderr,
                     "pelmorctl: hier laeuft kein Empfaenger, aber der Dienst hat welche; "
                     "stoppen mit: sudo systemctl stop%s\n",
                     units.c_str());
    } else {
        std::fprintf(stderr,
                     "pelmorctl: hier laeuft kein Empfaenger, aber der Dienst hat welche (%s); "
                     "zeigen mit: sudo pelmorctl %s --all\n",
                     units.c_str() + 1, command);
    }
    return 1;
}

int PelmorctlEachServiceReceiver(int (*show)(const char* unit, const char* dir)) {
    const std::vector<std::string> dirs = PelmorctlServiceDirs();
    if (dirs.empty()) {
        std::puts("Kein Empfaenger des Dienstes laeuft.");
        return TOOL_EXIT_NOT_RUNNING;
    }
    // Each folder is named here: no hint back to status --all itself.
    pelmorctlNamed = true;
    int result = TOOL_EXIT_NOT_RUNNING;
    for (const std::string& dir : dirs) {
        setenv("PELMOR_RUNTIME_DIR", dir.c_str(), 1);
        const int shown = PelmorctlActAsOwnerOf(dir.c_str())
                              ? show(PelmorctlUnitOf(dir).c_str(), dir.c_str())
                              : TOOL_EXIT_FAILED;
        if (shown == TOOL_EXIT_FAILED || result == TOOL_EXIT_FAILED) {
            result = TOOL_EXIT_FAILED;
        } else if (shown == TOOL_EXIT_OK) {
            result = TOOL_EXIT_OK;
        }
    }
    return result;
}
