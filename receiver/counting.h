// The calls with which the receiver keeps its live counters.
#ifndef RECEIVER_COUNTING_H
#define RECEIVER_COUNTING_H

#include <cstdint>

#include "protocol/counters.h"

// The receiver's calls. Without the shared object (start-up not run, or it
// could not be made) they count into memory of the process's own.
// Makes the shared object and starts its figures at 0; 1, or 0 with the
// system's error in GetLastError (the receiver runs on without it).
int PelmorCountersOpen(void);
void PelmorCountersClose(void);
void PelmorCountConnection(const char* peer);
void PelmorCountMessage(int32_t bytes);
// stored: answered "1"; stampTime: the time the record's stamp was made
// from, -1 when it had none.
void PelmorCountRecord(bool stored, int64_t stampTime);
void PelmorCountReopening(void);
// One of PELMOR_END_*; the session is no longer in progress. A session that
// ran counts its own end; its caller counts one that could not start.
void PelmorCountSessionEnd(int32_t why);

#endif
