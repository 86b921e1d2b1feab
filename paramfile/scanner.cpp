// KEYINI scanner: turns the open parameter file into tokens, one byte per
// read, skipping white space and comments and counting lines. Look-ahead
// goes back by seeking the file, so a rewound stretch is read again exactly
// as before, comments and line ends included.
#include "keyini_state.h"

#include <cstring>

ScanState keyIniScan;

namespace {

int IsSymbol(unsigned char byte) {
    return byte == '=' || byte == '[' || byte == ']';
}

void SeekBy(int32_t offset) {
    LONG at = _llseek(keyIniScan.file, offset, FILE_CURRENT);
    if (at < 0) {
        keyIniScan.readFailed = 1;
        return;
    }
    keyIniScan.filePosition = at;
}

// Reads one byte; 0 when none was delivered. A failure is remembered and
// every later read then delivers nothing. The position counter stops short
// of overflowing, since offsets are 32 bits.
int ReadByte(unsigned char* byte) {
    if (keyIniScan.readFailed) {
        return 0;
    }
    if (keyIniScan.filePosition == INT32_MAX) {
        keyIniScan.readFailed = 1;
        return 0;
    }
    LONG got = _hread(keyIniScan.file, byte, 1);
    if (got != 1) {
        if (got < 0) {
            keyIniScan.readFailed = 1;
        }
        return 0;
    }
    ++keyIniScan.filePosition;
    if (*byte == '\n') {
        ++keyIniScan.lineNumber;
    }
    return 1;
}

// Skips a block comment up to and including the first "*/"; any "*" can
// begin the pair.
int32_t SkipBlockComment() {
    unsigned char previous = 0;
    unsigned char byte;
    for (;;) {
        if (!ReadByte(&byte)) {
            return KEYINI_E_EOF;
        }
        if (previous == '*' && byte == '/') {
            return KEYINI_OK;
        }
        previous = byte;
    }
}

// Counts a line comment that a LF without CR left open; text is the offset
// its text begins at.
void NoteOpenComment(int32_t text, int32_t line, int32_t endLine) {
    if (text <= keyIniScan.openCommentReach) {
        return; // read again after a rewind
    }
    keyIniScan.openCommentReach = text;
    if (keyIniScan.openCommentCount < KEYINI_OPEN_COMMENTS_MAX) {
        keyIniScan.openComments[keyIniScan.openCommentCount] = KeyIniOpenComment{line, endLine};
    }
    ++keyIniScan.openCommentCount;
}

// Skips a line comment up to the first LF directly after a CR; the CR or LF
// that ended the opening token counts as the comment's first byte.
int32_t SkipLineComment(unsigned char delimiter) {
    const int32_t text = keyIniScan.filePosition;
    const int32_t line = keyIniScan.lineNumber - (delimiter == '\n' ? 1 : 0);
    int open = delimiter == '\n';
    unsigned char previous = delimiter;
    unsigned char byte;
    for (;;) {
        if (!ReadByte(&byte)) {
            if (open) {
                NoteOpenComment(text, line, 0);
            }
            return KEYINI_E_EOF;
        }
        if (byte == '\n' && previous == '\r') {
            if (open) {
                NoteOpenComment(text, line, keyIniScan.lineNumber - 1);
            }
            return KEYINI_OK;
        }
        open = open || byte == '\n';
        previous = byte;
    }
}

// Reads one token into tokenBuffer; delimiter gets the white-space byte that
// ended it, or 0 when a symbol ended it (that symbol is given back).
int32_t ReadToken(unsigned char* delimiter) {
    std::memset(keyIniScan.tokenBuffer, 0, sizeof keyIniScan.tokenBuffer);
    unsigned char byte;
    do {
        if (!ReadByte(&byte)) {
            return KEYINI_E_EOF;
        }
    } while (KeyIniIsWhiteSpace(byte));
    keyIniScan.tokenBuffer[0] = static_cast<char>(byte);
    *delimiter = 0;
    if (IsSymbol(byte)) {
        return KEYINI_OK;
    }
    size_t length = 1;
    for (;;) {
        if (!ReadByte(&byte)) {
            return KEYINI_E_EOF;
        }
        if (IsSymbol(byte)) {
            // Given back also after a too long token, so that a section
            // skipped over such a token still meets the next "[".
            SeekBy(-1);
        }
        if (length > KEYINI_TEXT_MAX) {
            return KEYINI_E_TOKEN_LONG;
        }
        if (IsSymbol(byte)) {
            return KEYINI_OK;
        }
        if (KeyIniIsWhiteSpace(byte)) {
            *delimiter = byte;
            return KEYINI_OK;
        }
        keyIniScan.tokenBuffer[length++] = static_cast<char>(byte);
    }
}

} // namespace

int KeyIniIsWhiteSpace(unsigned char byte) {
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

void ResetScanner(HFILE file) {
    keyIniScan.file = file;
    keyIniScan.lineNumber = 1;
    keyIniScan.filePosition = 0;
    keyIniScan.readFailed = 0;
    std::memset(keyIniScan.tokenBuffer, 0, sizeof keyIniScan.tokenBuffer);
    keyIniScan.openCommentCount = 0;
    keyIniScan.openCommentReach = -1;
}

int32_t KeyIniOpenComments(KeyIniOpenComment* comments, int32_t capacity) {
    const int32_t kept = keyIniScan.openCommentCount < KEYINI_OPEN_COMMENTS_MAX
                             ? keyIniScan.openCommentCount
                             : KEYINI_OPEN_COMMENTS_MAX;
    for (int32_t i = 0; comments != nullptr && i < kept && i < capacity; ++i) {
        comments[i] = keyIniScan.openComments[i];
    }
    return keyIniScan.openCommentCount;
}

int32_t NextToken() {
    for (;;) {
        unsigned char delimiter;
        int32_t result = ReadToken(&delimiter);
        if (result != KEYINI_OK) {
            return result;
        }
        const char* token = keyIniScan.tokenBuffer;
        if (token[0] != '/' || (token[1] != '*' && token[1] != '/')) {
            return KEYINI_OK;
        }
        result = token[1] == '*' ? SkipBlockComment() : SkipLineComment(delimiter);
        if (result != KEYINI_OK) {
            return result;
        }
    }
}

ScanMark SaveScanMark() {
    return ScanMark{keyIniScan.filePosition, keyIniScan.lineNumber};
}

void RewindToScanMark(ScanMark mark) {
    SeekBy(mark.filePosition - keyIniScan.filePosition);
    keyIniScan.lineNumber = mark.lineNumber;
}
