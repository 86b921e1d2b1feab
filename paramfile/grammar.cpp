// KEYINI grammar: the header, then sections "[" group "]" [DYNAMIC] with key
// lines "key = value". Values of known keys are checked and stored into the
// caller's table; the pairs of a DYNAMIC section are collected into a list;
// sections of unknown groups are skipped.
#include "keyini_state.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

GrammarState keyIniGrammar;

namespace {

// Another section follows; internal to the grammar, never returned.
constexpr int32_t MORE_SECTIONS = 1;

int TokenIs(const char* word) {
    return std::strcmp(keyIniScan.tokenBuffer, word) == 0;
}

// Reads the next token, which must be word; otherwise the result is code.
int32_t ExpectToken(const char* word, int32_t code) {
    int32_t result = NextToken();
    if (result != KEYINI_OK) {
        return result;
    }
    return TokenIs(word) ? KEYINI_OK : code;
}

// A null name in the table never matches.
int NamesEqual(const char* tableName, const char* name) {
    return tableName != nullptr && std::strcmp(tableName, name) == 0;
}

// The first entry of group, and of key unless key is null.
ParameterDescriptor* FindEntry(const char* group, const char* key) {
    for (int32_t i = 0; i < keyIniGrammar.count; ++i) {
        ParameterDescriptor* entry = &keyIniGrammar.table[i];
        if (NamesEqual(entry->groupToken, group) &&
            (key == nullptr || NamesEqual(entry->paramToken, key))) {
            return entry;
        }
    }
    return nullptr;
}

// The end of the file is the normal end unless a read failed on the way.
int32_t EndOfFileResult() {
    return keyIniScan.readFailed ? KEYINI_E_EOF : KEYINI_OK;
}

int WithinBounds(const ParameterDescriptor* entry, double number) {
    return entry->min <= number && number <= entry->max;
}

// A whole number of digits only; too large for 32 bits is not valid.
int ConvertInteger(const ParameterDescriptor* entry, const char* text, int32_t* number) {
    int64_t magnitude;
    const char* end = KeyIniReadDigits(text, &magnitude);
    if (end == text || *end != '\0' || magnitude > INT32_MAX ||
        !WithinBounds(entry, static_cast<double>(magnitude))) {
        return 0;
    }
    *number = static_cast<int32_t>(magnitude);
    return 1;
}

// Digits and points only; the longest leading part with at most one point
// is the number, so "1.2.3" reads 1.2 and "." reads 0.
int ConvertDouble(const ParameterDescriptor* entry, const char* text, double* number) {
    size_t length = std::strlen(text);
    if (length == 0 || std::strspn(text, "0123456789.") != length) {
        return 0;
    }
    double value = 0.0;
    std::from_chars(text, text + length, value, std::chars_format::fixed);
    if (!WithinBounds(entry, value)) {
        return 0;
    }
    *number = value;
    return 1;
}

// Checks the value text by the entry's type and stores it only when it
// passes; returns whether it did.
int ConvertValue(ParameterDescriptor* entry, const char* text) {
    ParameterValue* value = &entry->value;
    switch (entry->type) {
    case TYPSTRING:
        if (!WithinBounds(entry, static_cast<double>(std::strlen(text)))) {
            return 0;
        }
        KeyIniCopyText(value->textValue, sizeof value->textValue, text);
        return 1;
    case TYPCHAR:
        if (text[0] == '\0' || text[1] != '\0') {
            return 0;
        }
        value->charValue = text[0];
        return 1;
    case TYPBOOL:
        if (std::strcmp(text, "TRUE") != 0 && std::strcmp(text, "FALSE") != 0) {
            return 0;
        }
        value->intValue = std::strcmp(text, "TRUE") == 0;
        return 1;
    case TYPINT:
        return ConvertInteger(entry, text, &value->intValue);
    case TYPLONG:
        return ConvertInteger(entry, text, &value->longValue);
    case TYPDOUBLE:
        return ConvertDouble(entry, text, &value->doubleValue);
    default:
        return 0;
    }
}

int32_t StoreKeyValue() {
    ParameterDescriptor* entry = FindEntry(keyIniGrammar.groupName, keyIniGrammar.keyName);
    if (entry == nullptr) {
        return KEYINI_E_UNKNOWN_KEY;
    }
    KeyIniCopyText(entry->content, sizeof entry->content, keyIniScan.tokenBuffer);
    entry->found = 1;
    if (ConvertValue(entry, keyIniScan.tokenBuffer)) {
        entry->valid = 1;
    }
    return KEYINI_OK;
}

// Copies text into a field that a text of exactly its size fills without
// terminator; the rest is zero-filled.
void FillField(char* field, size_t size, const char* text) {
    size_t length = 0;
    while (length < size && text[length] != '\0') {
        ++length;
    }
    std::memcpy(field, text, length);
    std::memset(field + length, 0, size - length);
}

// Makes room in the list for pairs entries and the end mark. The block
// grows by doubling, so a long section costs linear time.
int GrowList(DynamicEntry** list, size_t pairs) {
    if (pairs < keyIniGrammar.dynamicCapacity) {
        return 1;
    }
    size_t capacity = keyIniGrammar.dynamicCapacity < 8 ? 8 : keyIniGrammar.dynamicCapacity;
    while (capacity <= pairs && capacity <= SIZE_MAX / 2 / sizeof(DynamicEntry)) {
        capacity *= 2;
    }
    if (capacity <= pairs) {
        return 0;
    }
    void* grown = std::realloc(*list, capacity * sizeof(DynamicEntry));
    if (grown == nullptr) {
        return 0;
    }
    *list = static_cast<DynamicEntry*>(grown);
    keyIniGrammar.dynamicCapacity = capacity;
    return 1;
}

// Appends the pair to the list of the group's first entry. The block keeps
// one all-zero entry after the last pair as the end mark.
int32_t StoreDynamicPair() {
    ParameterDescriptor* entry = FindEntry(keyIniGrammar.groupName, nullptr);
    if (entry == nullptr) {
        return KEYINI_E_UNKNOWN_KEY;
    }
    if (entry->type != TYPDYN) {
        return KEYINI_E_NOT_DYN;
    }
    entry->found = 1;
    entry->valid = 1;
    DynamicEntry*& list = entry->value.dynamicList;
    if (keyIniGrammar.dynamicElementNumber == 1) {
        // A new section starts a new list; the one it replaces is released.
        std::free(list);
        list = nullptr;
        keyIniGrammar.dynamicCapacity = 0;
    }
    size_t pairs = static_cast<size_t>(keyIniGrammar.dynamicElementNumber);
    if (keyIniGrammar.dynamicElementNumber == INT32_MAX || !GrowList(&list, pairs)) {
        std::free(list);
        list = nullptr;
        keyIniGrammar.dynamicCapacity = 0;
        return KEYINI_E_NO_MEMORY;
    }
    DynamicEntry* pair = &list[pairs - 1];
    FillField(pair->keyText, sizeof pair->keyText, keyIniGrammar.keyName);
    FillField(pair->valueText, sizeof pair->valueText, keyIniScan.tokenBuffer);
    std::memset(&list[pairs], 0, sizeof list[pairs]);
    ++keyIniGrammar.dynamicElementNumber;
    return KEYINI_OK;
}

// Drops tokens up to the next "[" (given back) or the end of the file. A
// too long token is no error here.
int32_t SkipSection() {
    for (;;) {
        ScanMark mark = SaveScanMark();
        int32_t result = NextToken();
        if (result == KEYINI_E_EOF) {
            return EndOfFileResult();
        }
        if (result == KEYINI_OK && TokenIs("[")) {
            RewindToScanMark(mark);
            return MORE_SECTIONS;
        }
    }
}

// Consumes a DYNAMIC keyword after "]" if there is one.
int32_t ReadDynamicKeyword() {
    keyIniGrammar.dynamicSection = 0;
    ScanMark mark = SaveScanMark();
    int32_t result = NextToken();
    if (result == KEYINI_OK && TokenIs("DYNAMIC")) {
        keyIniGrammar.dynamicSection = 1;
        keyIniGrammar.dynamicElementNumber = 1;
        return KEYINI_OK;
    }
    RewindToScanMark(mark);
    return result;
}

int32_t ReadKeyLines() {
    for (;;) {
        int32_t result = NextToken();
        if (result != KEYINI_OK) {
            return result;
        }
        KeyIniCopyText(keyIniGrammar.keyName, sizeof keyIniGrammar.keyName, keyIniScan.tokenBuffer);
        // An empty pair key could not be told from the list's end mark.
        int known = keyIniGrammar.dynamicSection
                        ? keyIniGrammar.keyName[0] != '\0'
                        : FindEntry(keyIniGrammar.groupName, keyIniGrammar.keyName) != nullptr;
        if (!known) {
            return KEYINI_E_UNKNOWN_KEY;
        }
        result = ExpectToken("=", KEYINI_E_NO_EQUALS);
        if (result != KEYINI_OK) {
            return result;
        }
        result = NextToken();
        if (result != KEYINI_OK) {
            return result;
        }
        result = StoreValue();
        if (result != KEYINI_OK) {
            return result;
        }
        ScanMark mark = SaveScanMark();
        result = NextToken();
        int sectionFollows = result == KEYINI_OK && TokenIs("[");
        RewindToScanMark(mark);
        if (result == KEYINI_E_EOF) {
            return EndOfFileResult();
        }
        if (sectionFollows) {
            return MORE_SECTIONS;
        }
    }
}

int32_t ReadSection() {
    int32_t result = ExpectToken("[", KEYINI_E_NO_OPEN);
    if (result != KEYINI_OK) {
        return result;
    }
    result = NextToken();
    if (result != KEYINI_OK) {
        return result;
    }
    KeyIniCopyText(keyIniGrammar.groupName, sizeof keyIniGrammar.groupName, keyIniScan.tokenBuffer);
    if (FindEntry(keyIniGrammar.groupName, nullptr) == nullptr) {
        return SkipSection();
    }
    result = ExpectToken("]", KEYINI_E_NO_CLOSE);
    if (result != KEYINI_OK) {
        return result;
    }
    result = ReadDynamicKeyword();
    if (result != KEYINI_OK) {
        return result;
    }
    return ReadKeyLines();
}

} // namespace

const char* KeyIniReadDigits(const char* text, int64_t* magnitude) {
    int64_t number = 0;
    for (; KeyIniIsDigit(*text); ++text) {
        number = number * 10 + (*text - '0');
        if (number > KEYINI_MAGNITUDE_CAP) {
            number = KEYINI_MAGNITUDE_CAP;
        }
    }
    *magnitude = number;
    return text;
}

void KeyIniCopyText(char* field, size_t size, const char* text) {
    FillField(field, size - 1, text);
    field[size - 1] = '\0';
}

int32_t ParseKeyIni() {
    int32_t result = ExpectToken("KEYINI", KEYINI_E_NO_HEADER);
    if (result != KEYINI_OK) {
        return result;
    }
    do {
        result = ReadSection();
    } while (result == MORE_SECTIONS);
    return result;
}

int32_t StoreValue() {
    return keyIniGrammar.dynamicSection ? StoreDynamicPair() : StoreKeyValue();
}
