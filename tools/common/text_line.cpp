// Lines built in a bounded buffer, and the JSON and C escapes of texts.
#include "common/text_line.h"

#include <cstring>

namespace {

constexpr const char* TOOL_HEX = "0123456789abcdef";
constexpr std::size_t TOOL_JSON_TEXT_MAX = 65536; // far beyond any text a tool shows

// A prefix and the two hex digits of byte, e.g. \x0b.
void ToolLinePutHex(ToolLine* line, const char* prefix, unsigned char byte) {
    ToolLinePutText(line, prefix);
    ToolLinePutChar(line, TOOL_HEX[byte >> 4]);
    ToolLinePutChar(line, TOOL_HEX[byte & 0xf]);
}

// Bytes of the well-formed UTF-8 sequence at text (no overlong forms, no
// surrogates, nothing above U+10FFFF), 0 when there is none.
int32_t ToolUtf8Length(const unsigned char* text, int32_t left) {
    const unsigned char lead = text[0];
    int32_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xbf; // bounds of the second byte
    if (lead < 0xc2 || lead > 0xf4) {
        return 0;
    }
    if (lead < 0xe0) {
        length = 2;
    } else if (lead < 0xf0) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    }
    if (length > left || text[1] < low || text[1] > high) {
        return 0;
    }
    for (int32_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xbf) {
            return 0;
        }
    }
    return length;
}

// The escapes JSON and C share: backslash, CR, LF and tab. 1 when c was one.
int ToolLinePutCommonEscape(ToolLine* line, unsigned char c) {
    const char* escape = c == '\\'   ? "\\\\"
                         : c == '\r' ? "\\r"
                         : c == '\n' ? "\\n"
                         : c == '\t' ? "\\t"
                                     : nullptr;
    if (escape == nullptr) {
        return 0;
    }
    ToolLinePut(line, escape, 2);
    return 1;
}

// Writes the bytes from text on that go as they are, in one copy: printable
// ASCII other than the two in special, and well-formed UTF-8. Returns how
// many there were.
int32_t ToolLinePutPlainRun(ToolLine* line, const unsigned char* text, int32_t length,
                            const char* special) {
    const unsigned char first = static_cast<unsigned char>(special[0]);
    const unsigned char second = static_cast<unsigned char>(special[1]);
    int32_t run = 0;
    while (run < length) {
        const unsigned char c = text[run];
        const int32_t step = c >= 0x80 ? ToolUtf8Length(text + run, length - run)
                             : c >= 0x20 && c < 0x7f && c != first && c != second ? 1
                                                                                  : 0;
        if (step == 0) {
            break;
        }
        run += step;
    }
    ToolLinePut(line, reinterpret_cast<const char*>(text), run);
    return run;
}

} // namespace

void ToolLinePut(ToolLine* line, const char* text, int32_t length) {
    if (length > line->size - line->length) {
        length = line->size - line->length; // the caller sized the line for the worst case
    }
    std::memcpy(line->text + line->length, text, static_cast<std::size_t>(length));
    line->length += length;
}

void ToolLinePutChar(ToolLine* line, char c) {
    if (line->length < line->size) {
        line->text[line->length++] = c;
    }
}

void ToolLinePutText(ToolLine* line, const char* text) {
    ToolLinePut(line, text, static_cast<int32_t>(std::strlen(text)));
}

void ToolLinePutJson(ToolLine* line, const unsigned char* text, int32_t length) {
    ToolLinePutChar(line, '"');
    for (int32_t i = 0; i < length; ++i) {
        i += ToolLinePutPlainRun(line, text + i, length - i, "\"\\");
        if (i == length) {
            break;
        }
        const unsigned char c = text[i];
        if (c == '"') {
            ToolLinePut(line, "\\\"", 2);
        } else if (ToolLinePutCommonEscape(line, c) == 0) {
            ToolLinePutHex(line, c >= 0x80 ? "\\udc" : "\\u00", c);
        }
    }
    ToolLinePutChar(line, '"');
}

void ToolLinePutEscaped(ToolLine* line, const unsigned char* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        i += ToolLinePutPlainRun(line, text + i, length - i, "\\\\");
        if (i < length && ToolLinePutCommonEscape(line, text[i]) == 0) {
            ToolLinePutHex(line, "\\x", text[i]);
        }
    }
}

std::string ToolJsonString(const char* text) {
    const int32_t length = static_cast<int32_t>(strnlen(text, TOOL_JSON_TEXT_MAX));
    std::string json(static_cast<std::size_t>(length) * TOOL_ESCAPE_MAX + 2, '\0');
    ToolLine line{&json[0], static_cast<int32_t>(json.size()), 0};
    ToolLinePutJson(&line, reinterpret_cast<const unsigned char*>(text), length);
    json.resize(static_cast<std::size_t>(line.length));
    return json;
}
