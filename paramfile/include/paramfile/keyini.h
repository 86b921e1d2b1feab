// KEYINI parameter file reader.
//
// A program describes every key it expects in a table of ParameterDescriptor
// records and calls ReadKeyIni once with a set of flags:
//
//   KEYINI_READ   read the file into the table (found, valid, content, value)
//   KEYINI_CHECK  check presence and validity, put defaults in place
//   KEYINI_LIST   list the table on the console, one entry per key press
//   KEYINI_FREE   free the dynamic lists of TYPDYN entries (and null them)
//
// The operations run in that order within one call. ReadKeyIni returns 1 or 0;
// *resultCode gets 0 or one of the negative KEYINI_E_* codes, and after a file
// error *position gets the line (from 1), after a check error the index of the
// failing descriptor (from 0).
//
// File format: the token KEYINI, then sections "[" group "]" with an optional
// DYNAMIC keyword and one or more key lines "key = value". Tokens are at most
// 100 characters, separated by white space or the symbols = [ ]. Comments
// start a token with "/*" (to the next "*/") or "//" (to the next CR LF).
// A token at the very end of the file must be followed by white space.
// A read failure is reported as KEYINI_E_EOF, also where the end of the file
// would be a normal end, so a file is never taken as read when it was not.
//
// The reader keeps its state in module-level storage: one call at a time,
// not re-entrant.
#ifndef PARAMFILE_KEYINI_H
#define PARAMFILE_KEYINI_H

#include <cstdint>

// Type codes; -7 is not assigned.
constexpr int32_t TYPSTRING = -1;
constexpr int32_t TYPCHAR = -2;
constexpr int32_t TYPBOOL = -3;
constexpr int32_t TYPINT = -4;
constexpr int32_t TYPLONG = -5;
constexpr int32_t TYPDOUBLE = -6;
constexpr int32_t TYPDYN = -8;

// Flags.
constexpr uint32_t KEYINI_READ = 1;
constexpr uint32_t KEYINI_CHECK = 2;
constexpr uint32_t KEYINI_LIST = 4;
constexpr uint32_t KEYINI_FREE = 8;

// Result codes.
constexpr int32_t KEYINI_OK = 0;
constexpr int32_t KEYINI_E_NO_FLAGS = -1;     // none of the four flags given
constexpr int32_t KEYINI_E_OPEN = -2;         // file cannot be opened for reading
constexpr int32_t KEYINI_E_CLOSE = -3;        // file cannot be closed after reading
constexpr int32_t KEYINI_E_NO_PATH = -5;      // no path given
constexpr int32_t KEYINI_E_EOF = -11;         // file ended (or read failed) before a token
constexpr int32_t KEYINI_E_TOKEN_LONG = -12;  // token longer than 100 characters
constexpr int32_t KEYINI_E_NO_HEADER = -20;   // file does not begin with KEYINI
constexpr int32_t KEYINI_E_NO_OPEN = -21;     // "[" expected
constexpr int32_t KEYINI_E_NO_CLOSE = -22;    // "]" expected after a known group
constexpr int32_t KEYINI_E_NO_EQUALS = -23;   // "=" expected after a key name
constexpr int32_t KEYINI_E_UNKNOWN_KEY = -31; // key not in the table for its group
constexpr int32_t KEYINI_E_NOT_FOUND = -40;   // required key absent from the file
constexpr int32_t KEYINI_E_NOT_VALID = -41;   // no valid value and onError clear
constexpr int32_t KEYINI_E_NOT_DYN = -50;     // DYNAMIC section, group's first entry not TYPDYN
constexpr int32_t KEYINI_E_NO_MEMORY = -51;   // no memory to grow a dynamic list

constexpr int32_t KEYINI_TEXT_MAX = 100; // characters of a token, content or text value

// One key/value pair of a DYNAMIC section, zero-filled. A text of exactly 100
// characters fills its field and has no terminator.
//
// A list is one heap block of pairs followed by one extra all-zero entry, so
// the list ends at the first entry whose keyText[0] is 0. A DYNAMIC key that
// reads as the empty text (its token begins with a zero byte) could not be told
// from that end mark, so it is refused with KEYINI_E_UNKNOWN_KEY.
struct DynamicEntry {
    char keyText[100];
    char valueText[100];
};

// The converted value; which member holds it follows from the type:
// intValue for TYPINT and TYPBOOL (1 true, 0 false), longValue for TYPLONG,
// doubleValue for TYPDOUBLE, charValue for TYPCHAR, textValue for TYPSTRING,
// dynamicList for TYPDYN (null until the first pair is stored).
union ParameterValue {
    int32_t intValue;
    int32_t longValue;
    double doubleValue;
    char charValue;
    char textValue[101];
    DynamicEntry* dynamicList;
};

// One entry of the caller's table. The caller sets groupToken, paramToken,
// tokenId, optional, onError, min, max, type, defaultValue and comment and
// starts with found and valid 0 and every TYPDYN value null. The reader only
// ever sets found and valid to 1. The caller's texts are not copied.
//
// min and max bound the number for TYPINT, TYPLONG and TYPDOUBLE and the text
// length for TYPSTRING, inclusive. A number that does not fit 32 bits is not
// valid. A null groupToken or paramToken never matches; a null defaultValue
// acts as the empty text; a TYPSTRING default is cut to 100 characters.
struct ParameterDescriptor {
    const char* groupToken;
    const char* paramToken;
    int32_t tokenId;
    int32_t found;
    int32_t optional;
    int32_t onError;
    int32_t valid;
    double min;
    double max;
    int32_t type;
    const char* defaultValue;
    char content[101];
    ParameterValue value;
    const char* comment;
};

// Returns 1 for success, 0 for failure. path is looked at only with
// KEYINI_READ; count 0 or less is an empty table. position is written only
// after a file error (line) or a check error (descriptor index).
int ReadKeyIni(const char* path, uint32_t flags, ParameterDescriptor* table, int32_t count,
               int32_t* resultCode, int32_t* position);

// What a tool that checks a file can tell its user.
//
// A German description of a result code ("Datei beginnt nicht mit KEYINI");
// "Lesefehler" for a code the reader never gives.
const char* KeyIniErrorText(int32_t code);

// A line comment runs to the next CR LF, so one whose line ends in a LF
// alone takes in the lines after it: one such comment of the last reading.
struct KeyIniOpenComment {
    int32_t line;    // the line the comment begins in
    int32_t endLine; // the line whose CR LF ends it; 0 when it runs to the end of the file
};

// Comments the reader keeps of one reading; more are counted, not kept.
constexpr int32_t KEYINI_OPEN_COMMENTS_MAX = 16;

// The line comments of the last ReadKeyIni call that ran on past a LF
// without a CR before it, in file order, each once however often a
// look-ahead read it again. Copies the first of them, at most capacity, to
// comments and returns how many the reading met. Only what was read counts:
// a reading that stops at an error does not see the rest of the file.
int32_t KeyIniOpenComments(KeyIniOpenComment* comments, int32_t capacity);

#endif
