// pelmorctl metrics: what each platform adds to the Prometheus text, the
// receivers --all covers and the figures of the shipper.
#ifndef TOOLS_PELMORCTL_PELMORCTL_METRICS_H
#define TOOLS_PELMORCTL_PELMORCTL_METRICS_H

#include <cstdint>
#include <string>
#include <vector>

// A receiver as --all finds it: its name for the label and the folder of
// its named objects.
struct PelmorctlReceiverPlace {
    std::string name;
    std::string runtimeDir; // "" where the platform has one place for all
};

// Every receiver of this host (Linux: the folders pelmor and pelmor-NAME in
// $XDG_RUNTIME_DIR, else in /run), sorted by name.
std::vector<PelmorctlReceiverPlace> PelmorctlAllReceivers();
// Makes the named objects of place the ones the next calls open.
void PelmorctlUseReceiverPlace(const PelmorctlReceiverPlace& place);

// Standard output as bytes: the text ends its lines with LF alone on every
// platform, as the exposition format wants.
void PelmorctlMetricsBinaryOutput();

// The shipper of a buffer file, from its state file and the files waiting.
struct PelmorctlShipFigures {
    int running;
    int stateReadable; // 0: the state file is damaged; the backlog is not known
    int64_t records;   // waiting
    int64_t bytes;
    int64_t files;
    int64_t oldestAge; // seconds since the oldest waiting record's stamp, 0 none
    int64_t errorTime; // the last failure, seconds since the epoch, 0 none
    int live;          // the running shipper's own figures below are known
    int64_t shipped;   // records acknowledged since it started
    int64_t connected; // 1 while connected to NATS
    int64_t outage;    // seconds NATS has been away or records unacknowledged, 0 none
};

// 1 with the figures, 0 when the platform has no shipper.
int PelmorctlShipRead(const std::string& bufferFile, PelmorctlShipFigures* figures);

#endif
