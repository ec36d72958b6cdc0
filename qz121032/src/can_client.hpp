#pragma once
// The raw CAN client: what an RP1210 connection with the protocol "CAN" becomes. It owns the
// connection's receive and transmit buffers, a CAN device on the shared bus of its channel
// (or an automatic bit-rate detector that provides one), the receive listener the device
// calls with every batch of frames, and the transmit thread "rp1210-tx-{}".

#include <memory>

#include "client.hpp"
#include "error_codes.hpp"

namespace qz121032 {

// Connects a CAN client: finds the channel, brings its device up at the requested (or a
// detected) bit timing and starts the transmit thread. Every failure releases what was
// created; no thread survives a failed connect.
Outcome<std::unique_ptr<ProtocolClient>> connect_can_client(const ClientCreateArgs& args);

}  // namespace qz121032
