// The record codec as the shipper uses it.
#include "ship_codec.h"

#include <cstring>

int ShipCodecStamp(const unsigned char* record, char (&stamp)[RECORD_STAMP_WIDTH + 1]) {
    RecordFields fields{};
    if (RecordDecode(record, &fields) != RECORD_OK || fields.stamp[0] == '\0') {
        return 0;
    }
    std::memcpy(stamp, fields.stamp, sizeof stamp);
    return 1;
}
