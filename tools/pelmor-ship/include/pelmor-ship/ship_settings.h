// The settings of pelmor-ship: group "VERSAND" of the receiver's parameter
// file, beside the receiver's own group "PELMOR", of which it takes the
// buffer file's name. One table, shared by pelmor-ship and pelmorctl check,
// so both read a file alike. The receiver's table lacks the group, so the
// receiver skips it.
#ifndef TOOLS_PELMOR_SHIP_SHIP_SETTINGS_H
#define TOOLS_PELMOR_SHIP_SHIP_SETTINGS_H

#include <cstdint>
#include <string>

#include "paramfile/keyini.h"
#include "receiver/settings.h"

constexpr const char* SHIP_GROUP = "VERSAND";

// Entries of the group, after the receiver's entries in the shipper's table.
constexpr int32_t SHIP_NATSURL = 0;    // server addresses, comma-separated
constexpr int32_t SHIP_STREAM = 1;     // the stream's name
constexpr int32_t SHIP_SUBJECT = 2;    // the subject records are published on
constexpr int32_t SHIP_QUELLE = 3;     // this source's name in ids and headers
constexpr int32_t SHIP_REPLIKATE = 4;  // replicas of a stream it creates
constexpr int32_t SHIP_DUPFENSTER = 5; // duplicate window of a stream it creates, seconds
constexpr int32_t SHIP_FENSTER = 6;    // publications waiting for their acknowledgement at most
constexpr int32_t SHIP_UEBERGABE = 7;  // kilobytes of the live file after which it is taken over
constexpr int32_t SHIP_NATSCREDS = 8;  // credentials file
constexpr int32_t SHIP_NATSCA = 9;     // CA certificates for TLS
constexpr int32_t SHIP_NATSCERT = 10;  // client certificate for TLS
constexpr int32_t SHIP_NATSKEY = 11;   // its key
constexpr int32_t SHIP_SETTINGS_COUNT = 12;

constexpr int32_t SHIP_TABLE_COUNT = PELMOR_SETTINGS_COUNT + SHIP_SETTINGS_COUNT;

// The whole table: the receiver's entries first (so every key of group
// PELMOR is known), then group VERSAND, every entry optional.
extern ParameterDescriptor ShipTable[SHIP_TABLE_COUNT];

// Puts the receiver's entries into ShipTable and clears every mark; call
// before each reading.
void ShipTableReset();

// Reads path into ShipTable with KEYINI_READ alone, as the receiver reads
// its group: the reader's result code, with the line in *position.
int32_t ShipTableRead(const char* path, int32_t* position);

// The entry of a VERSAND setting in ShipTable.
ParameterDescriptor& ShipEntry(int32_t setting);

// 1 when the entry holds a value from the file that passed its test, 0
// when it is absent (its default applies), -1 when it is present but
// invalid (the shipper does not start with it).
int ShipEntryState(int32_t setting);

// Whether some key of group VERSAND was in the file.
bool ShipGroupPresent();

// QUELLE's text is one word without ':' (the separator of message ids).
bool ShipValidSourceName(const char* text);

// NATSURL: every comma-separated address names a host. The parameter file
// ends a value at "[", so an IPv6 literal arrives cut to "nats://" and is
// refused here instead of being tried forever.
bool ShipValidUrls(const char* text);

// What a refused value would have had to be, beyond its length or range.
const char* ShipEntryRule(int32_t setting);

// The addresses as they may be shown: without user and password.
std::string ShipUrlShown(const std::string& urls);

// A file named by NATSCREDS, NATSKEY, NATSCERT or NATSCA that pelmor-ship
// cannot use: missing, unreadable, not a plain file; for credentials and
// key also readable or writable by others (a secret others can read is
// already lost), and credentials without their JWT and seed. 1 with the
// reason (naming the file) in *why, 0 when it can be used.
int ShipSecretFileProblem(int32_t setting, const char* path, std::string* why);

#endif
