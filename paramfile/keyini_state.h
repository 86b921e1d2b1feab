// State and helpers shared by the parts of the KEYINI reader: scanner,
// grammar, reader entry and listing. The state is module-level and has
// meaning only during one ReadKeyIni call.
#ifndef PARAMFILE_KEYINI_STATE_H
#define PARAMFILE_KEYINI_STATE_H

#include "paramfile/keyini.h"
#include "platform/file_calls.h"

#include <cstddef>

// Room for a token of 101 characters and its terminator: the 101st
// character is read before a token is refused as too long.
constexpr size_t KEYINI_TOKEN_BUFFER = KEYINI_TEXT_MAX + 2;

struct ScanState {
    HFILE file;
    int32_t lineNumber;   // from 1, one more for every LF consumed
    int32_t filePosition; // offset of the next byte to read
    char tokenBuffer[KEYINI_TOKEN_BUFFER];
    int32_t readFailed; // a read or seek failed: the end of file met since is no normal end
    KeyIniOpenComment openComments[KEYINI_OPEN_COMMENTS_MAX];
    int32_t openCommentCount;
    int32_t openCommentReach; // offset of the last one counted, so a rewind counts none twice
};

struct ScanMark {
    int32_t filePosition;
    int32_t lineNumber;
};

struct GrammarState {
    ParameterDescriptor* table;
    int32_t count;
    char groupName[KEYINI_TEXT_MAX + 1];
    char keyName[KEYINI_TEXT_MAX + 1];
    int32_t dynamicSection;
    int32_t dynamicElementNumber; // 1-based number of the next pair of the current list
    size_t dynamicCapacity;       // entries the current list's block has room for
};

extern ScanState keyIniScan;
extern GrammarState keyIniGrammar;

// Scanner: results 0, KEYINI_E_EOF or KEYINI_E_TOKEN_LONG.
void ResetScanner(HFILE file);
int32_t NextToken();
ScanMark SaveScanMark();
void RewindToScanMark(ScanMark mark);
int KeyIniIsWhiteSpace(unsigned char byte);

// Grammar: 0 when the whole file was read, else a negative result code.
int32_t ParseKeyIni();
int32_t StoreValue();

// Leading decimal digits of text as a magnitude that saturates just above
// the 32-bit range; returns the first byte after them.
const char* KeyIniReadDigits(const char* text, int64_t* magnitude);
inline int KeyIniIsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr int64_t KEYINI_MAGNITUDE_CAP = int64_t{INT32_MAX} + 1;

// Copies text into a terminated field of size bytes, cut to size - 1
// characters, the rest zero-filled.
void KeyIniCopyText(char* field, size_t size, const char* text);

void ListKeyIni(const ParameterDescriptor* table, int32_t count);

#endif
