// The record codec as the shipper uses it.
#include "ship_codec.h"

#include <cstring>

#include "buffer_file.h"

int ShipCodecStamp(const unsigned char* record, char (&stamp)[RECORD_STAMP_WIDTH + 1]) {
    BufferRecord decoded{};
    if (BufferDecode(record, &decoded) != BUFFER_OK || decoded.stamp[0] == '\0') {
        return 0;
    }
    std::memcpy(stamp, decoded.stamp, sizeof stamp);
    return 1;
}
