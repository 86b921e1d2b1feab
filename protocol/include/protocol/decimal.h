// Decimal numbers as the receiver and its tools read and write them in
// settings, options and record columns: digits only, no sign, no blanks,
// never beyond a bound.
#ifndef PROTOCOL_DECIMAL_H
#define PROTOCOL_DECIMAL_H

#include <cstddef>
#include <cstdint>

// The first length characters of text as a number from 0 to max (max at
// least 0): true and *value, or false when length is 0, a character is no
// digit or the number exceeds max. Nothing past length is read.
bool DecimalParse(const char* text, std::size_t length, int64_t max, int64_t* value);

// The same for a terminated text, read no further than capacity bytes (a
// text that fills them is taken whole).
bool DecimalParseText(const char* text, std::size_t capacity, int64_t max, int64_t* value);

// Writes value (0 or more) in decimal digits without terminator, at most 19
// characters; returns the end.
char* DecimalPut(char* at, int64_t value);

#endif
