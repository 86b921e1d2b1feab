// KEYINI reader entry: reads the file into the table, checks the table and
// puts defaults in place, lists it and frees its dynamic lists, in that
// order, as the flags ask.
#include "keyini_state.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t KEYINI_ALL_FLAGS = KEYINI_READ | KEYINI_CHECK | KEYINI_LIST | KEYINI_FREE;

// Significant digits kept of a default number: more cannot change a double.
constexpr size_t DEFAULT_DIGITS_MAX = 800;
// Decimal exponents beyond this are out of any double's range anyway.
constexpr int64_t DEFAULT_EXPONENT_LIMIT = 100000;

void Report(int32_t* out, int32_t value) {
    if (out != nullptr) {
        *out = value;
    }
}

const char* SkipWhiteSpace(const char* text) {
    while (KeyIniIsWhiteSpace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    return text;
}

// Leading integer after white space and an optional sign, saturated at the
// 32-bit limits; 0 without a leading number.
int32_t DefaultInteger(const char* text) {
    const char* p = SkipWhiteSpace(text);
    int negative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    int64_t magnitude;
    KeyIniReadDigits(p, &magnitude);
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

int64_t Clamp(int64_t value, int64_t limit) {
    return value > limit ? limit : (value < -limit ? -limit : value);
}

// Leading number after white space: sign, digits with an optional point,
// an optional exponent marked e, E, d or D; no hexadecimal, infinity or NaN
// forms. It is rewritten as "0.<significant digits>e<exponent>" so that the
// conversion neither depends on the locale nor on the length of the text.
double DefaultDouble(const char* text) {
    const char* p = SkipWhiteSpace(text);
    int negative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    char number[DEFAULT_DIGITS_MAX + 32] = "0.";
    size_t length = 2;
    int64_t exponent = 0; // position of the point behind the first significant digit
    int anyDigit = 0;
    int point = 0;
    for (;; ++p) {
        if (*p == '.' && !point) {
            point = 1;
            continue;
        }
        if (!KeyIniIsDigit(*p)) {
            break;
        }
        anyDigit = 1;
        int significant = length > 2 || *p != '0';
        if (significant && length < DEFAULT_DIGITS_MAX + 2) {
            number[length++] = *p;
        }
        if (significant && !point) {
            ++exponent;
        } else if (!significant && point) {
            --exponent;
        }
    }
    if (!anyDigit) {
        return 0.0;
    }
    if (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D') {
        const char* q = p + 1;
        int exponentNegative = *q == '-';
        if (*q == '+' || *q == '-') {
            ++q;
        }
        int64_t magnitude;
        if (KeyIniReadDigits(q, &magnitude) != q) {
            exponent += exponentNegative ? -magnitude : magnitude;
        }
    }
    double value = 0.0;
    if (length > 2) {
        exponent = Clamp(exponent, DEFAULT_EXPONENT_LIMIT);
        int written = std::snprintf(number + length, sizeof number - length, "e%lld",
                                    static_cast<long long>(exponent));
        auto converted = std::from_chars(number, number + length + static_cast<size_t>(written),
                                         value, std::chars_format::general);
        if (converted.ec == std::errc::result_out_of_range) {
            value = exponent > 0 ? HUGE_VAL : 0.0;
        }
    }
    return negative ? -value : value;
}

void PutDefault(ParameterDescriptor* entry) {
    const char* text = entry->defaultValue != nullptr ? entry->defaultValue : "";
    ParameterValue* value = &entry->value;
    switch (entry->type) {
    case TYPDOUBLE:
        value->doubleValue = DefaultDouble(text);
        break;
    case TYPLONG:
        value->longValue = DefaultInteger(text);
        break;
    case TYPINT:
        value->intValue = DefaultInteger(text);
        break;
    case TYPBOOL:
        value->intValue = std::strcmp(text, "TRUE") == 0;
        break;
    case TYPCHAR:
        value->charValue = text[0];
        break;
    case TYPSTRING:
        KeyIniCopyText(value->textValue, sizeof value->textValue, text);
        break;
    default:
        break;
    }
}

// Visits the entries in table order; the first that has no value and may
// not get its default ends the pass.
int32_t CheckTable(int32_t* position) {
    for (int32_t i = 0; i < keyIniGrammar.count; ++i) {
        ParameterDescriptor* entry = &keyIniGrammar.table[i];
        if (!entry->found && !entry->optional) {
            Report(position, i);
            return KEYINI_E_NOT_FOUND;
        }
        if (!entry->valid && !entry->onError) {
            Report(position, i);
            return KEYINI_E_NOT_VALID;
        }
        if (!entry->valid || (!entry->found && entry->onError)) {
            PutDefault(entry);
        }
    }
    return KEYINI_OK;
}

int32_t ReadFile(const char* path, int32_t* position) {
    if (path == nullptr) {
        return KEYINI_E_NO_PATH;
    }
    HFILE file = _lopen(path, OF_READ);
    if (file == HFILE_ERROR) {
        return KEYINI_E_OPEN;
    }
    ResetScanner(file);
    int32_t result = ParseKeyIni();
    if (result != KEYINI_OK) {
        Report(position, keyIniScan.lineNumber);
        _lclose(file);
        return result;
    }
    return _lclose(file) == HFILE_ERROR ? KEYINI_E_CLOSE : KEYINI_OK;
}

// Released lists are set to null, so freeing a table twice frees nothing twice.
void FreeDynamicLists() {
    for (int32_t i = 0; i < keyIniGrammar.count; ++i) {
        ParameterDescriptor* entry = &keyIniGrammar.table[i];
        if (entry->type == TYPDYN) {
            std::free(entry->value.dynamicList);
            entry->value.dynamicList = nullptr;
        }
    }
}

} // namespace

int ReadKeyIni(const char* path, uint32_t flags, ParameterDescriptor* table, int32_t count,
               int32_t* resultCode, int32_t* position) {
    keyIniGrammar.table = table;
    keyIniGrammar.count = table != nullptr && count > 0 ? count : 0;
    ResetScanner(HFILE_ERROR);
    if ((flags & KEYINI_ALL_FLAGS) == 0) {
        Report(resultCode, KEYINI_E_NO_FLAGS);
        return 0;
    }
    if (flags & KEYINI_READ) {
        int32_t result = ReadFile(path, position);
        if (result != KEYINI_OK) {
            Report(resultCode, result);
            return 0;
        }
    }
    if (flags & KEYINI_CHECK) {
        int32_t result = CheckTable(position);
        if (result != KEYINI_OK) {
            Report(resultCode, result);
            return 0;
        }
    }
    if (flags & KEYINI_LIST) {
        ListKeyIni(keyIniGrammar.table, keyIniGrammar.count);
    }
    if (flags & KEYINI_FREE) {
        FreeDynamicLists();
    }
    if (flags & (KEYINI_READ | KEYINI_CHECK)) {
        Report(resultCode, KEYINI_OK);
    }
    return 1;
}
