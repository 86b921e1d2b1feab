// The receiver's settings of group "PELMOR", read from its parameter file (six
// that every file gives, and SYNC and MAXBUFSIZE, which may be absent). One
// static table, shared by the receiver and pelmorctl so both read a file
// alike.
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
constexpr int32_t PELMOR_SETTING_MAXBUFSIZE = 7; // kilobytes; 0 or absent: no bound
constexpr int32_t PELMOR_SETTINGS_COUNT = 8;

// The parameter file read when the command line is empty.
constexpr const char* PELMOR_DEFAULT_PARAMETER_FILE = "D:\\COMM\\NEVTAR.INI";

extern ParameterDescriptor (&PelmorSettings)[PELMOR_SETTINGS_COUNT];

// What the log library adds to LOGDATEI for the older generation it keeps
// when MAXLOGSIZE is reached.
constexpr char PELMOR_LOG_OLD_SUFFIX[] = ".old";

// 1 when the log, or its older generation, is the buffer file, under either
// file's name: log lines would land among the records, and the log's size
// limit would move the buffer file away or replace it. The receiver refuses
// to start on it, pelmorctl check reports it.
int PelmorLogMeetsBuffer(const char* logFileName, const char* bufferFileName);

// 1 when the log, or its older generation, is one of the shipper's files
// beside the buffer file (its state, the lock, a taken-over file): the
// log's writes and its size limit would destroy what the shipper keeps.
int PelmorLogMeetsShipper(const char* logFileName, const char* bufferFileName);

// The port an UPLPORT text names: digits only, 1 to 65535; 0 for any other
// text (the empty one included), which the receiver refuses to start with.
int32_t PelmorPortOfText(const char* text);

// Copies the text value of a TYPSTRING setting into a field of capacity bytes,
// cut to fit and always terminated.
void PelmorSettingText(int32_t index, char* field, size_t capacity);

#endif
