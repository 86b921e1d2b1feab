// ISO 8601 local time with its offset from UTC.
#include "common/iso_time.h"

#include <cstdio>
#include <ctime>

// The offset is worked out from the two broken-down times, as strftime's %z
// is not the offset on every platform.
void ToolIsoTime(int64_t seconds, char (&text)[TOOL_TIME_TEXT]) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* found = std::localtime(&time);
    if (found == nullptr) {
        std::snprintf(text, sizeof text, "?");
        return;
    }
    const std::tm local = *found;
    found = std::gmtime(&time);
    const std::tm utc = found != nullptr ? *found : local;
    int days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year) {
        days = local.tm_year > utc.tm_year ? 1 : -1;
    }
    const long offset =
        ((days * 24L + local.tm_hour - utc.tm_hour) * 60L + local.tm_min - utc.tm_min);
    const long magnitude = offset < 0 ? -offset : offset;
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
}
