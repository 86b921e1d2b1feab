// The records of a buffer file cut into their columns by the receiver's own
// layout, so no test spells an offset.
#ifndef TESTS_SUPPORT_RECORDS_H
#define TESTS_SUPPORT_RECORDS_H

#include <ctime>
#include <string>
#include <vector>

struct SupportRecord {
    std::string mark;    // "$"
    std::string ip;      // ddd.ddd.ddd.ddd
    std::string port;    // five digits
    std::string stamp;   // YYYYMMDDhhmmss
    std::string counter; // three digits
    std::string message; // padded with blanks
    std::string lineEnd; // CR LF on disk, LF as FormatRcvMsg builds it
};

// The columns of one record; those past a short record's end come out short
// or empty.
SupportRecord SupportRecordColumns(const std::string& record);

// Every whole record on disk in content, in order; a torn tail is left out.
std::vector<SupportRecord> SupportRecordsOf(const std::string& content);

// The message column without the blanks that pad it.
std::string SupportRecordMessage(const SupportRecord& record);

// text padded with blanks to the message column's width.
std::string SupportPaddedMessage(const std::string& text);

// The time column of a record made at when: local time, YYYYMMDDhhmmss.
std::string SupportRecordStamp(std::time_t when);

#endif
