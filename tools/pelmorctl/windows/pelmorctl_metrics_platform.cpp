// pelmorctl metrics on Windows: one receiver per session, no shipper.
#include "pelmorctl_metrics.h"

std::vector<PelmorctlReceiverPlace> PelmorctlAllReceivers() {
    return {{"pelmor", ""}};
}

void PelmorctlUseReceiverPlace(const PelmorctlReceiverPlace&) {}

int PelmorctlShipRead(const std::string&, PelmorctlShipFigures* figures) {
    *figures = PelmorctlShipFigures{};
    return 0;
}
