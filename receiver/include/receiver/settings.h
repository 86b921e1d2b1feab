// The receiver's settings of group "PELMOR", read from its parameter file (six
// that every file gives, and SYNC, which may be absent). One static table,
// shared by the receiver and pelmorctl so both read a file alike.
#ifndef RECEIVER_SETTINGS_H
#define RECEIVER_SETTINGS_H

#include <cstddef>
#include <cstdint>

#include "paramfile/keyini.h"

constexpr int32_t PELMOR_SETTING_UPLPORT = 0;
constexpr int32_t PELMOR_SETTING_BUFFDATEI = 1;
constexpr int32_t PELMOR_SETTING_LOGDATEI = 2;
constexpr int32_t PELMOR_SETTING_MAXLOGSIZE = 3;
constexpr int32_t PELMOR_SETTING_ERRLEVEL = 4;
constexpr int32_t PELMOR_SETTING_TIMEOUT = 5;
constexpr int32_t PELMOR_SETTING_SYNC = 6;
constexpr int32_t PELMOR_SETTINGS_COUNT = 7;

// The parameter file read when the command line is empty.
constexpr const char* PELMOR_DEFAULT_PARAMETER_FILE = "D:\\COMM\\NEVTAR.INI";

extern ParameterDescriptor (&PelmorSettings)[PELMOR_SETTINGS_COUNT];

// The port an UPLPORT text names: digits only, 1 to 65535; 0 for any other
// text (the empty one included), which the receiver refuses to start with.
int32_t PelmorPortOfText(const char* text);

// Copies the text value of a TYPSTRING setting into a field of capacity bytes,
// cut to fit and always terminated.
void PelmorSettingText(int32_t index, char* field, size_t capacity);

#endif
