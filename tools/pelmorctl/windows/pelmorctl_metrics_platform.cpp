// pelmorctl metrics on Windows: one receiver per session, no shipper.
#include "pelmorctl_metrics.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>

std::vector<PelmorctlReceiverPlace> PelmorctlAllReceivers() {
    return {{"pelmor", ""}};
}

void PelmorctlUseReceiverPlace(const PelmorctlReceiverPlace&) {}

int PelmorctlShipRead(const std::string&, PelmorctlShipFigures* figures) {
    *figures = PelmorctlShipFigures{};
    return 0;
}

void PelmorctlMetricsBinaryOutput() {
    // Text mode would end the lines with CR LF; the exposition format ends them with LF.
    _setmode(_fileno(stdout), _O_BINARY);
}
