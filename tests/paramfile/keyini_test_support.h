// Helpers for the KEYINI tests: parameter files written byte-exact into a
// temporary folder, table entries, and one reading of a file.
#ifndef TESTS_PARAMFILE_KEYINI_TEST_SUPPORT_H
#define TESTS_PARAMFILE_KEYINI_TEST_SUPPORT_H

#include "paramfile/keyini.h"

#include <string>

// Writes bytes to a new file in the test's temporary folder; returns its path.
std::string WriteTestFile(const std::string& bytes);

// A table entry with the caller's fields set and everything else zero.
ParameterDescriptor MakeEntry(const char* group, const char* key, int32_t type, double min = 0,
                              double max = 1e9, const char* defaultValue = "");

struct ReadOutcome {
    int returned;
    int32_t resultCode;
    int32_t position;
};

// Writes bytes to a file and calls ReadKeyIni on it; position is -99 when
// it was not written.
ReadOutcome ReadBytes(const std::string& bytes, ParameterDescriptor* table, int32_t count,
                      uint32_t flags = KEYINI_READ);

// Bytes as a string, with embedded zero bytes.
template <size_t N> std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

#endif
