// Times for people and for JSON: ISO 8601 local time with its offset.
#ifndef TOOLS_COMMON_ISO_TIME_H
#define TOOLS_COMMON_ISO_TIME_H

#include <cstddef>
#include <cstdint>

constexpr std::size_t TOOL_TIME_TEXT = 64;

// Seconds since the epoch as local time with its offset from UTC, say
// 2026-05-07T14:30:05+02:00; "?" when the system cannot convert them.
void ToolIsoTime(int64_t seconds, char (&text)[TOOL_TIME_TEXT]);

#endif
