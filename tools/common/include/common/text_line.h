// One line of output built in a bounded buffer and written with one call,
// and the escapes the tools write texts with: JSON strings and C escapes.
#ifndef TOOLS_COMMON_TEXT_LINE_H
#define TOOLS_COMMON_TEXT_LINE_H

#include <cstdint>
#include <string>

// The longest escape of one byte: \udcXX in JSON.
constexpr int32_t TOOL_ESCAPE_MAX = 6;

// The caller's buffer; what does not fit is cut off, so size it for the
// worst case (TOOL_ESCAPE_MAX a byte of escaped text).
struct ToolLine {
    char* text;
    int32_t size;
    int32_t length;
};

void ToolLinePut(ToolLine* line, const char* text, int32_t length);
void ToolLinePutChar(ToolLine* line, char c);
void ToolLinePutText(ToolLine* line, const char* text);

// A JSON string. Well-formed UTF-8 goes as it is; every other byte XX of
// 0x80..0xff becomes \udcXX, a lone surrogate no UTF-8 text can hold, so a
// reader gets the bytes back exactly.
void ToolLinePutJson(ToolLine* line, const unsigned char* text, int32_t length);

// For people: control bytes, bytes that are not UTF-8 and the backslash as C
// escapes (\r, \n, \t, \xHH, \\), so that a text stays one line.
void ToolLinePutEscaped(ToolLine* line, const unsigned char* text, int32_t length);

// The JSON string of a text ended by its terminator (its first 64 KiB).
std::string ToolJsonString(const char* text);

#endif
