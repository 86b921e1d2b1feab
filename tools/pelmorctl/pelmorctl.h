// pelmorctl: control of a running receiver and checks of its parameter file.
#ifndef TOOLS_PELMORCTL_PELMORCTL_H
#define TOOLS_PELMORCTL_PELMORCTL_H

// Exit codes (common/exit_codes.h): FAILED for a time-out, a file the
// receiver would not take whole or a buffer file with problems; USAGE for a
// wrong command line; NOT_RUNNING when status finds no receiver.
#include "common/exit_codes.h"

// The --help lines on where the named objects live; each platform has its own.
extern const char* const PELMORCTL_OBJECTS_HELP;

// --instance NAME before the command: the named objects of that receiver
// instance from now on (Linux: those of pelmor@NAME.service). 1, or 0 with
// the reason on standard error.
int PelmorctlUseInstance(const char* name);
// The NAME of --instance once it is in use, else nullptr.
extern const char* PelmorctlInstance;

// Before status, stop and wait-ready: as root without PELMOR_RUNTIME_DIR,
// the named objects of the host's service receiver (Linux: /run/pelmor),
// opened with their owner's rights, as with --instance. 1, or 0 with the
// command to run instead on standard error.
int PelmorctlFindService(void);

// When no receiver runs where pelmorctl looked and the caller did not name
// the place: says on standard error where the service's receivers are and
// the command that reaches them (command: the word run). 1 when it did.
int PelmorctlHintService(const char* command);

// status --all: show(unit, folder) for every receiver of the service on this
// host, each in its own named objects. OK when one runs, NOT_RUNNING when
// none does, FAILED when one could not be looked at.
int PelmorctlEachServiceReceiver(int (*show)(const char* unit, const char* dir));

// check FILE: every setting as the receiver would get it, what is missing or
// invalid, read errors with their line, line comments that swallow lines.
int PelmorctlCheck(const char* path);

// list FILE: the file read into the receiver's table, shown by the reader's listing.
int PelmorctlList(const char* path);

// verify FILE: every record of a buffer file checked, the counters followed
// through the sessions. OK clean, FAILED problems found, USAGE not readable.
int PelmorctlVerify(const char* path);

// records FILE [--from N] [--count K] [--json | --csv], argv holding the
// words after "records": the records decoded. OK, FAILED when a broken
// record was skipped, USAGE not readable, -1 a wrong call.
int PelmorctlRecords(int argc, char** argv);

// A consistent copy of the receiver's counters object: 1, or 0 when there
// is none of this layout (no receiver, or a damaged object).
struct PelmorCounters;
int PelmorctlReadCounters(PelmorCounters* counters);

// metrics [--instance NAME | --all] [--ini DATEI], argv holding the words
// after "metrics": the Prometheus text of the receivers (and of the shipper
// of the parameter file). OK, FAILED when the text could not be written
// whole, -1 a wrong call.
int PelmorctlMetrics(int argc, char** argv);

// status: the running receiver's counters, one per line.
void PelmorctlShowCounters();
// status --json: whether a receiver runs and its counters, one JSON object.
void PelmorctlShowCountersJson(int running);

// Linux: the shipper's state beside the buffer file, read as pelmor-ship
// reads it: 1 when it can start with it, else 0 after saying why. Windows
// has no shipper: 1.
int PelmorctlCheckShipFiles(const char* bufferFileName);

#endif
