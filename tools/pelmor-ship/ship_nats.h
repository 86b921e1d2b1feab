// pelmor-ship's connection to NATS, which only the program itself links;
// the state and files it works on are in pelmor-ship/ship.h.
#ifndef TOOLS_PELMOR_SHIP_SHIP_NATS_H
#define TOOLS_PELMOR_SHIP_SHIP_NATS_H

#include <cstdint>
#include <string>

#include "pelmor-ship/ship_core.h"

// ship_nats.cpp: the connection to NATS, the stream and the publications.
// Connects in the background (retrying with growing pauses for as long as
// it takes). 1, or 0 with the reason (a bad address, an unreadable
// certificate: nothing that waiting mends).
int ShipNatsStart(const ShipConfig& config, ShipContext* ship, std::string* error);
void ShipNatsStop();
bool ShipNatsConnected();
// Outages: true when the connection was lost since the last call.
bool ShipNatsTakeLost();
// Makes sure the stream exists (creates it with file storage, the replicas
// and the duplicate window configured); its last sequence. 1, or 0 with
// the reason.
int ShipNatsStream(const ShipConfig& config, uint64_t* lastSequence, std::string* error);
// The ids starting with prefix among the stream's messages after floor up
// to last. 1, or 0 with the reason.
int ShipNatsScan(const ShipConfig& config, uint64_t floor, uint64_t last, const std::string& prefix,
                 ShipContext* ship, void (*found)(ShipContext* ship, const char* id));
// Publishes one record with its id; the outcome comes to ShipOnAck. 1, or 0
// when it could not be handed over.
int ShipNatsPublish(const ShipConfig& config, const char* id, const unsigned char* record);

#endif
