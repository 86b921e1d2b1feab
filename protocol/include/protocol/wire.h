// The bytes between a client and the receiver: the client sends one message
// per read and waits for one acknowledgement byte; a message beginning with
// the end byte ends the session.
#ifndef PROTOCOL_WIRE_H
#define PROTOCOL_WIRE_H

#include <cstdint>

constexpr int32_t PELMOR_MESSAGE_MAX = 512; // bytes of one message, one read
constexpr char PELMOR_SESSION_END = 'X';    // first byte of the message that ends a session
constexpr char PELMOR_ACK_STORED = '1';     // the record is stored
constexpr char PELMOR_ACK_FAILED = '2';     // it is not; the session ends

// The port of the example parameter file, which clients use by default.
constexpr int32_t PELMOR_DEFAULT_PORT = 6664;
constexpr char PELMOR_DEFAULT_PORT_TEXT[] = "6664";

#endif
