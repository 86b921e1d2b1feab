// Where pelmorctl finds the receiver's named objects on Linux.
#include "pelmorctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const PELMORCTL_OBJECTS_HELP =
    "Die benannten Objekte liegen in $PELMOR_RUNTIME_DIR, sonst in\n"
    "$XDG_RUNTIME_DIR/pelmor, sonst in /tmp/pelmor-<uid>. Mit --instance NAME\n"
    "vor dem Befehl: in " PELMOR_INSTANCE_RUNTIME_PREFIX "NAME, denen von pelmor@NAME.service.\n";

namespace {

constexpr std::size_t PELMORCTL_INSTANCE_NAME_MAX = 200;

} // namespace

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
