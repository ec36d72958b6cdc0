#pragma once
// The wire model's rules over the shared state: how long a frame is on the wire, which
// handles send, receive and are reached by a frame, and the lists of handles and pending
// frames per wire.

#include <cstddef>
#include <cstdint>

#include "shared_state.hpp"

namespace tarnsim {

// How long a frame is on the wire at the sending channel's rates.
std::int64_t duration_ns(const Frame& f, const ChannelState& ch);

void measure(Frame& f);

bool timing_matches(const ChannelState& a, std::int32_t bitrate, std::int32_t data_bitrate,
                    const Frame& f);

Frame error_frame(std::int64_t time_ns);

bool card_ok(const SharedState& s, const HandleState& h);

bool receiving(const SharedState& s, const HandleState& h);

bool transmitting(const SharedState& s, const HandleState& h);

// A handle the sender's frame reaches when it ends: other channels of the wire, the sender
// itself with transmit acknowledgements, its channel's other handles with local echo.
bool reaches(const SharedState& s, const HandleState& sender, const HandleState& h);

void remove_from_wire(SharedState& s, std::size_t slot);

// A frame with this end time is on the wire now.
void note_pending(SharedState& s, std::uint32_t wire, std::int64_t end);

}  // namespace tarnsim
