// Buffer-file records and the fifteen-character IP text they carry.
#ifndef RECEIVER_RECORDS_H
#define RECEIVER_RECORDS_H

#include <cstdint>

#include "context.h"

// Sequence number of the last record FormatRcvMsg built: 1..999, 0, 1, ...
extern uint32_t PelmorRecordCounter;

// Makes context->recordPrefix from localIP and port: the port column is the
// last five digits of port, localIP is cut to 15 characters.
void FormatRecordPrefix(ReceiverContext* context);

// Builds the record of one message as it goes to disk: the prefix, the local
// time, the counter stepped (999 is followed by 0), the message cut at its
// terminator or 512 bytes, and CR LF; record is terminated after its 552
// bytes. The calendar time the stamp was made from, or -1 when the local time
// could not be had (the record then carries the zero stamp).
int64_t BuildDiskRecord(const char (&prefix)[RECORD_STAMP_AT], uint32_t* counter,
                        const char* message, char (&record)[PELMOR_DISK_RECORD_LENGTH + 1]);

// Builds one record of exactly 551 characters ending in a line feed into
// record (capacity is the record's length without its terminator; record
// must hold capacity + 1 bytes; a smaller capacity cuts the record, a
// negative one writes nothing), stepping PelmorRecordCounter. Whatever the
// context holds, as FormatRecordPrefix makes it. 1, or 0 when the local time
// could not be formatted (the record then carries the zero timestamp).
int FormatRcvMsg(ReceiverContext* context, const char* message, char* record, int32_t capacity);

// Rewrites a dotted IPv4 text in place as 15 characters, three digits per part.
// text is the 16-byte localIP field; it is read no further than its
// terminator or 16 bytes, and missing parts count as 0.
void FormatIPString(char* text);

#endif
