// KEYINI scanner: turns the open parameter file into tokens, one byte per
// read, skipping white space and comments and counting lines. Look-ahead
// goes back by seeking the file, so a rewound stretch is read again exactly
// as before, comments and line ends included.
#include "paramfile/keyini_state.h"

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

// Skips a comment up to and including the first pair of bytes
// closing[0] closing[1]; any closing[0] can begin the pair. previous is the
// byte before the comment's text, which may begin the pair too.
int32_t SkipComment(const char* closing, unsigned char previous) {
    const unsigned char first = static_cast<unsigned char>(closing[0]);
    const unsigned char second = static_cast<unsigned char>(closing[1]);
    unsigned char byte;
    for (;;) {
        if (!ReadByte(&byte)) {
            return KEYINI_E_EOF;
        }
        if (previous == first && byte == second) {
            return KEYINI_OK;
        }
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
        // A block comment runs to "*/"; a line comment to CR LF, where the CR
        // that ended the opening token counts.
        result = token[1] == '*' ? SkipComment("*/", 0) : SkipComment("\r\n", delimiter);
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
