// pelmorctl check: the shipper's state beside the buffer file, as
// pelmor-ship reads it at its start.
#include "pelmorctl.h"

#include <cstdio>
#include <string>

#include <unistd.h>

#include "pelmor-ship/ship.h"

int PelmorctlCheckShipFiles(const char* bufferFileName) {
    if (geteuid() == 0) {
        ShipAcceptAnyOwner(); // root checks the files of the shipper's user
    }
    ShipConfig config{};
    config.bufferFile = bufferFileName;
    const std::string path = ShipStatePath(config);
    ShipState state{};
    std::string why;
    const int loaded = ShipStateLoad(path, &state, &why);
    if (loaded > 0 && ShipStatePlausible(config, state, &why) != 0) {
        return 1;
    }
    if (loaded == 0) {
        return 1;
    }
    std::printf("Fehler: Zustandsdatei %s %s: %s; pelmor-ship startet nicht\n", path.c_str(),
                loaded < 0 ? "nicht lesbar" : "kann nicht stimmen", why.c_str());
    return 0;
}
