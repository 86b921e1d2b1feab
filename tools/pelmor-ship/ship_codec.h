// What the shipper needs of the record codec: the time stamp of a record,
// for the age of the oldest record waiting.
#ifndef TOOLS_PELMOR_SHIP_SHIP_CODEC_H
#define TOOLS_PELMOR_SHIP_SHIP_CODEC_H

#include "protocol/record.h"

// 1 and YYYYMMDDhhmmss in stamp when the record is well formed and carries
// a time; 0 otherwise.
int ShipCodecStamp(const unsigned char* record, char (&stamp)[RECORD_STAMP_WIDTH + 1]);

#endif
