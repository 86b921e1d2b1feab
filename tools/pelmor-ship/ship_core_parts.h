// Between the parts of the shipper's core (the window and position in
// ship_core.cpp, following the files in ship_follow.cpp, the run in
// ship_run.cpp): what each needs of the others, for pelmor_ship_core alone.
#ifndef TOOLS_PELMOR_SHIP_SHIP_CORE_PARTS_H
#define TOOLS_PELMOR_SHIP_SHIP_CORE_PARTS_H

#include <cstdint>
#include <string>

#include "pelmor-ship/ship_core.h"

// ship_follow.cpp. The next record to publish, read from the cursor's file
// (opened, handed off and left for the next generation as needed); false
// when none is there now.
bool ShipFollowNextRecord(ShipContext* ship, int64_t* generation, int64_t* index,
                          unsigned char* record);
// The id of record (generation, index), the hand-off copy keeping the id of
// the record it copies.
void ShipFollowIdOf(ShipContext* ship, int64_t generation, int64_t index,
                    const unsigned char* record, char (&id)[SHIP_ID_MAX]);
// The last record of generation's file and its id; false when there is none.
bool ShipFollowPreviousOf(ShipContext* ship, int64_t generation, unsigned char* record,
                          char (&id)[SHIP_ID_MAX]);

// ship_core.cpp. Notes the last failure for --status; logged by the caller.
void ShipCoreNoteError(ShipContext* ship, const std::string& text);
// Milliseconds on the steady clock.
int64_t ShipCoreNowMs();

#endif
