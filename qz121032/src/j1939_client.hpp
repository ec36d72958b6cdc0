#pragma once
// The J1939 client: what an RP1210 connection with the protocol "J1939" becomes. It owns the
// connection's receive and transmit buffers, a CAN device on the shared bus of its channel
// (or an automatic bit-rate detector that provides one), a J1939 channel on that device
// (address claiming, transport protocol), the transmit thread "RP1210 Tx thread for client
// {}" that hands queued and broadcast messages to the channel, and the receive thread
// "RP1210 Rx thread for client {}" that reads the channel's events into the receive buffer.
//
// The send format of RP1210_SendMessage on a J1939 client:
//
//   bytes 0-2  PGN, least significant byte first
//   byte 3     how/priority: priority in bits 0-2; bit 7 set: to the global address 255
//              (byte 5 is then ignored)
//   byte 4     source address
//   byte 5     destination address
//   6...       data, 0 to 1785 bytes (at most 8 until an address is claimed, and with TP
//              passthrough)
//
// The read format is described in j1939_receive.hpp.

#include <memory>

#include "client.hpp"
#include "error_codes.hpp"

namespace qz121032 {

// Connects a J1939 client. At a fixed bit rate the J1939 channel is opened here; with
// automatic detection the receive thread opens it once the rate is known (until then
// sends and reads answer ERR_BUS_OFF). Every failure releases what was created; no thread
// survives a failed connect.
Outcome<std::unique_ptr<ProtocolClient>> connect_j1939_client(const ClientCreateArgs& args);

}  // namespace qz121032
