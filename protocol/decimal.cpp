#include "protocol/decimal.h"

#include <cstring>

bool DecimalParse(const char* text, std::size_t length, int64_t max, int64_t* value) {
    if (length == 0 || max < 0) {
        return false;
    }
    int64_t number = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        const int digit = text[i] - '0';
        if (digit > max || number > (max - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool DecimalParseText(const char* text, std::size_t capacity, int64_t max, int64_t* value) {
    const void* end = std::memchr(text, '\0', capacity);
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : capacity;
    return DecimalParse(text, length, max, value);
}

char* DecimalPut(char* at, int64_t value) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && count < sizeof digits);
    while (count > 0) {
        *at++ = digits[--count];
    }
    return at;
}
