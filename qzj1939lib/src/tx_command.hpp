#pragma once
// What the address-claim manager, the transport-protocol handler and the receive path ask
// of a channel's transmit thread. The queue is unbounded and read only by that thread.

#include <cstdint>
#include <optional>
#include <variant>

#include "qzj1939lib/j1939_channel.hpp"
#include "qzj1939lib/j1939_message.hpp"

namespace qzj1939lib {

// Send a message (at most 8 data bytes) at an instant; at once when it has passed. The tag
// says what the acknowledgement means: none, nothing; non-zero, a TxConfirmed event; zero,
// the transport-protocol handler takes it (its own TP.CM and TP.DT frames).
//
// `then` is an event handed to the application once the frame has been written to the
// driver (or its write failed): a received RTS/CTS transfer reaches the application only
// after its End of Message Acknowledgment is in the driver's hands.
struct SendAt {
    J1939Message message;
    std::optional<std::uint32_t> tag;
    Instant at;
    std::optional<ChannelEvent> then{};
};
// An address of this channel changed its claim state: the transport protocol learns its
// local addresses from it, and the application is told when notify is set.
struct AddressStateChanged {
    std::uint8_t address = 0;
    ClaimState state = ClaimState::Unclaimed;
    bool notify = true;
    bool protector = false;
};
// Run the address-claim timer step now (a claim was started).
struct RunAddressClaim {};
// The transport-protocol timer step must run at this instant at the latest.
struct TpScheduleTimeout {
    Instant at;
};

// Close: send what is queued and scheduled (within a short limit), then end the thread.
struct StopTx {};

using TxCommand =
    std::variant<SendAt, AddressStateChanged, RunAddressClaim, TpScheduleTimeout, StopTx>;
using TxCommandSender = Sender<TxCommand>;
using EventSender = Sender<ChannelEvent>;

}  // namespace qzj1939lib
